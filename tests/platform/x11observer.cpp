// An independent X client for the tests: a window over the whole screen that holds the keyboard
// focus and prints one line per input event it receives, with the keysym in effect as its own
// keymap gives it. On the line "where" from standard input it prints the pointer's position and
// the modifier and button state.
//
//   ready
//   key press 0x41 A 0x1        keysym, its name, state mask
//   button press 1 0x0          button, state mask
//   motion 110 70 0x100         root position, state mask
//   pointer 110 70 0x0          answer to "where"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

void printKey(XKeyEvent &event)
{
    char text[32];
    KeySym keysym = NoSymbol;
    XLookupString(&event, text, sizeof text, &keysym, nullptr);
    // XKeysymToString allocates the names of Unicode keysyms, which nothing may free.
    const bool unicode = keysym >= 0x01000000 && keysym <= 0x0110ffff;
    const char *name = unicode ? "Unicode" : XKeysymToString(keysym);
    std::printf("key %s 0x%lx %s 0x%x\n", event.type == KeyPress ? "press" : "release", keysym,
                name ? name : "?", event.state);
}

void answer(Display *display, const std::string &command)
{
    if (command != "where")
        return;
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX, &windowY,
                  &mask);
    std::printf("pointer %d %d 0x%x\n", x, y, mask);
}

} // namespace

int main()
{
    // One line per event, each as soon as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    const Window window = XCreateWindow(
        display, DefaultRootWindow(display), 0, 0, unsigned(DisplayWidth(display, screen)),
        unsigned(DisplayHeight(display, screen)), 0, CopyFromParent, InputOutput, CopyFromParent,
        CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display, window);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify)
            break;
    }
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
    std::printf("ready\n");

    std::string input;
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            switch (event.type) {
            case KeyPress:
            case KeyRelease:
                printKey(event.xkey);
                break;
            case ButtonPress:
            case ButtonRelease:
                std::printf("button %s %u 0x%x\n", event.type == ButtonPress ? "press" : "release",
                            event.xbutton.button, event.xbutton.state);
                break;
            case MotionNotify:
                std::printf("motion %d %d 0x%x\n", event.xmotion.x_root, event.xmotion.y_root,
                            event.xmotion.state);
                break;
            case MappingNotify:
                XRefreshKeyboardMapping(&event.xmapping);
                break;
            default:
                break;
            }
        }
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[256];
            const ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
            if (length <= 0)
                break;
            input.append(buffer, std::size_t(length));
            for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
                answer(display, input.substr(0, end));
                input.erase(0, end + 1);
            }
        }
    }
    XCloseDisplay(display);
    return 0;
}

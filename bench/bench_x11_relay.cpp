// The least a server can do per "move_by" datagram while reading the pointer afresh, as the
// command logic does: receive, query the pointer, post the motion. No Qt, no JSON, no log.
// Run in zanti-connect's place by `bench_x11_input --server`; it listens on the same port.

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Xlib's macros clash with other headers: they come last.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

constexpr unsigned short commandPort = 5916;

// The integer after "name=" in the request, 0 when there is none.
int item(const char *datagram, const char *name)
{
    const char *found = std::strstr(datagram, name);
    return found ? int(std::strtol(found + std::strlen(name), nullptr, 10)) : 0;
}

} // namespace

int main()
{
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "bench_x11_relay: cannot open the display\n");
        return 1;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(commandPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "bench_x11_relay: cannot bind UDP port %u\n", commandPort);
        return 1;
    }
    std::printf("UDP server listening on port %u\n", commandPort);
    std::fflush(stdout);

    static char datagram[65536];
    for (;;) {
        const ssize_t size = ::recv(fd, datagram, sizeof datagram - 1, 0);
        if (size <= 0)
            continue;
        datagram[size] = '\0';
        Window root = 0;
        Window child = 0;
        int x = 0;
        int y = 0;
        int windowX = 0;
        int windowY = 0;
        unsigned mask = 0;
        if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX,
                           &windowY, &mask))
            continue;
        XTestFakeMotionEvent(display, DefaultScreen(display), x + item(datagram, "delta_x="),
                             y + item(datagram, "delta_y="), CurrentTime);
        XFlush(display);
    }
}

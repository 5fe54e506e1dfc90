#include "xlibconnection.h"

#include <QtGlobal>

// Xlib's headers define macros (None, Bool, Status, KeyPress...) that clash with other headers:
// they come last.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace zc {

namespace {

// Xlib's default handler ends the process on any protocol error. Every request here is checked
// beforehand, so an error can only come from a race with another client changing the display
// (a key code taken meanwhile, say), and the input is simply lost. The handler is process-wide
// by Xlib's design.
int ignoreProtocolError(Display *, XErrorEvent *)
{
    return 0;
}

// Xlib's default handler of a broken connection ends the process; returning hands the loss to
// the connection's exit handler instead (see the constructor). Process-wide as well.
int continueAfterBrokenConnection(Display *)
{
    return 0;
}

// The level of a key type that these modifiers select.
int levelFor(const XkbKeyTypeRec &type, unsigned modifiers)
{
    const unsigned relevant = modifiers & type.mods.mask;
    for (int i = 0; i < type.map_count; ++i) {
        const XkbKTMapEntryRec &entry = type.map[i];
        if (entry.active && entry.mods.mask == relevant)
            return entry.level;
    }
    return 0;
}

} // namespace

std::unique_ptr<XlibConnection> XlibConnection::open(QString &failure)
{
    const QString name = qEnvironmentVariable("DISPLAY");
    // Before the first request: the display may go away during the extension queries below.
    XSetErrorHandler(ignoreProtocolError);
    XSetIOErrorHandler(continueAfterBrokenConnection);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        failure = QStringLiteral("cannot connect to the X display \"%1\"").arg(name);
        return nullptr;
    }
    XSetIOErrorExitHandler(
        display, [](Display *, void *) {}, nullptr);
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        failure = QStringLiteral("the X display \"%1\" has no XTEST extension").arg(name);
        return nullptr;
    }
    int opcode = 0;
    major = XkbMajorVersion;
    minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        failure = QStringLiteral("the X display \"%1\" has no XKEYBOARD extension").arg(name);
        return nullptr;
    }
    return std::unique_ptr<XlibConnection>(new XlibConnection(display));
}

XlibConnection::XlibConnection(Display *display)
    : m_display(display), m_root(DefaultRootWindow(display)),
      m_rootSize(DisplayWidth(display, DefaultScreen(display)),
                 DisplayHeight(display, DefaultScreen(display))),
      m_readable(ConnectionNumber(display), QSocketNotifier::Read)
{
    QObject::connect(&m_readable, &QSocketNotifier::activated, &m_readable,
                     [this] { processEvents(true); });
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(m_display, &minKeycode, &maxKeycode);
    m_minKeycode = unsigned(minKeycode);
    m_maxKeycode = unsigned(maxKeycode);
    // Xlib ends the process when the connection breaks, unless told otherwise: the display
    // server going away must not take the command servers with it.
    XSetIOErrorExitHandler(
        m_display,
        [](Display *, void *connection) {
            static_cast<XlibConnection *>(connection)->m_lost = true;
        },
        this);
    // The root window's size changes with the monitors; the server says so in ConfigureNotify.
    XSelectInput(m_display, m_root, StructureNotifyMask);
    XFlush(m_display);
}

XlibConnection::~XlibConnection()
{
    XCloseDisplay(m_display);
}

void XlibConnection::processEvents(bool readSocket)
{
    // Events that came in with a reply wait in Xlib's queue, where the socket notifier does not
    // see them; every read of the root size takes them in.
    while (!m_lost &&
           XEventsQueued(m_display, readSocket ? QueuedAfterReading : QueuedAlready) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == m_root)
            m_rootSize = QSize(event.xconfigure.width, event.xconfigure.height);
    }
    // A broken connection stays readable: watching it further would spin.
    if (m_lost)
        m_readable.setEnabled(false);
}

QSize XlibConnection::rootSize()
{
    processEvents(false);
    return m_lost ? QSize() : m_rootSize;
}

std::optional<QPoint> XlibConnection::queryPointer()
{
    if (m_lost)
        return std::nullopt;
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(m_display, m_root, &root, &child, &rootX, &rootY, &windowX, &windowY, &mask))
        return std::nullopt;
    return QPoint(rootX, rootY);
}

void XlibConnection::fakeMotion(QPoint position)
{
    if (m_lost)
        return;
    XTestFakeMotionEvent(m_display, DefaultScreen(m_display), position.x(), position.y(),
                         CurrentTime);
}

void XlibConnection::fakeButton(unsigned button, bool down)
{
    if (m_lost)
        return;
    XTestFakeButtonEvent(m_display, button, down ? True : False, CurrentTime);
}

void XlibConnection::fakeKey(unsigned keycode, bool down)
{
    if (m_lost)
        return;
    XTestFakeKeyEvent(m_display, keycode, down ? True : False, CurrentTime);
}

KeyboardMapping XlibConnection::readKeyboardMapping()
{
    KeyboardMapping mapping;
    if (m_lost)
        return mapping;
    XkbStateRec state{};
    XkbDescPtr xkb = XkbGetMap(m_display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    if (XkbGetState(m_display, XkbUseCoreKbd, &state) != Success || !xkb) {
        if (xkb)
            XkbFreeKeyboard(xkb, 0, True);
        return mapping;
    }
    mapping.capsLocked = (state.locked_mods & LockMask) != 0;
    mapping.firstKeycode = xkb->min_key_code;
    for (unsigned keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
        KeyboardMapping::Key key;
        const int groups = XkbKeyNumGroups(xkb, keycode);
        const KeySym *keysyms = XkbKeySymsPtr(xkb, keycode);
        for (int i = 0; i < XkbKeyNumSyms(xkb, keycode); ++i)
            key.bound = key.bound || keysyms[i] != NoSymbol;
        if (key.bound && groups > 0) {
            // A group beyond the key's own wraps around, as XKB does by default.
            const int group = state.group % groups;
            const XkbKeyTypeRec &type = *XkbKeyKeyType(xkb, keycode, group);
            const int plain = levelFor(type, 0);
            const int shifted = levelFor(type, ShiftMask);
            key.plain = Keysym(XkbKeySymEntry(xkb, keycode, plain, group));
            if (shifted != plain)
                key.shifted = Keysym(XkbKeySymEntry(xkb, keycode, shifted, group));
        }
        mapping.keys.push_back(key);
    }
    XkbFreeKeyboard(xkb, 0, True);
    return mapping;
}

void XlibConnection::setKeysyms(unsigned keycode, Keysym plain, Keysym shifted)
{
    if (m_lost)
        return;
    KeySym keysyms[2] = {plain, shifted};
    XChangeKeyboardMapping(m_display, int(keycode), 2, keysyms, 1);
}

void XlibConnection::lockCapsLock(bool locked)
{
    if (m_lost)
        return;
    XkbLockModifiers(m_display, XkbUseCoreKbd, LockMask, locked ? LockMask : 0);
}

void XlibConnection::flush()
{
    if (m_lost)
        return;
    XFlush(m_display);
}

} // namespace zc

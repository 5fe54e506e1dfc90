#include "portalinput.h"

#include "dbusrequest.h"
#include "keysyms.h"
#include "log.h"
#include "xkbkeymap.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>

#include <algorithm>

#include <linux/input-event-codes.h>

namespace zc {

namespace {

constexpr const char *requestInterface = "org.freedesktop.portal.Request";
constexpr const char *sessionInterface = "org.freedesktop.portal.Session";
constexpr const char *propertiesInterface = "org.freedesktop.DBus.Properties";

// Device types of SelectDevices and Start.
constexpr unsigned keyboardDevice = 1;
constexpr unsigned pointerDevice = 2;
// A permission kept until the user revokes it.
constexpr unsigned persistUntilRevoked = 2;

// Response codes of a request.
constexpr unsigned responseSuccess = 0;

// The portal's wheel axes.
constexpr unsigned verticalAxis = 0;
constexpr unsigned horizontalAxis = 1;

constexpr Keysym returnKeysym = 0xff0d;
constexpr Keysym tabKeysym = 0xff09;

QString text(const char *latin1)
{
    return QString::fromLatin1(latin1);
}

QVariantMap mapOf(const QVariant &value)
{
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

// The session handle arrives as an object path, or, from xdg-desktop-portal 1.16 and earlier, as
// a string.
QString pathOf(const QVariant &value)
{
    if (value.canConvert<QDBusObjectPath>() &&
        value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

bool PortalInput::offeredOn(const QDBusConnection &bus, int timeoutMs)
{
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        text(service), text(path), text(propertiesInterface), QStringLiteral("Get"));
    get << text(interface) << QStringLiteral("AvailableDeviceTypes");
    const QDBusMessage reply = bus.call(get, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const unsigned types = reply.arguments().constFirst().value<QDBusVariant>().variant().toUInt();
    return (types & (keyboardDevice | pointerDevice)) == (keyboardDevice | pointerDevice);
}

PortalInput::PortalInput(const QDBusConnection &bus, Log &log, Hooks hooks)
    : m_bus(bus), m_log(log), m_hooks(std::move(hooks))
{
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(answerTimeout);
    m_answerTimer.callOnTimeout(
        [this] { fail(QStringLiteral("the desktop's portal did not answer in time")); });
    start();
}

PortalInput::~PortalInput()
{
    releaseAll();
    flushBlocking();
    closeSession(true);
}

QString PortalInput::name() const
{
    return QStringLiteral("RemoteDesktop portal");
}

InputCapabilities PortalInput::capabilities() const
{
    return {.absoluteMotion = false,
            .relativeMotion = true,
            .positionQuery = false,
            .keysymTyping = true,
            .unicodeTyping = false};
}

InputState PortalInput::state() const
{
    switch (m_step) {
    case Step::Running:
        return InputState::Ready;
    case Step::Failed:
        return InputState::Unavailable;
    default:
        return InputState::Starting;
    }
}

QString PortalInput::unavailableReason() const
{
    return m_step == Step::Failed ? m_reason : QString();
}

void PortalInput::setStateHandler(std::function<void()> handler)
{
    m_stateHandler = std::move(handler);
}

void PortalInput::restart()
{
    if (m_step != Step::Failed || m_refused)
        return;
    m_log.line("Asking the desktop again for permission to control the mouse and keyboard");
    start();
}

void PortalInput::setStep(Step step)
{
    const InputState before = state();
    m_step = step;
    if (state() != before && m_stateHandler)
        m_stateHandler();
}

void PortalInput::start()
{
    ++m_generation;
    m_reason.clear();
    setStep(Step::Probing);
    QDBusMessage getAll = QDBusMessage::createMethodCall(
        text(service), text(path), text(propertiesInterface), QStringLiteral("GetAll"));
    getAll << text(interface);
    sendRequest({QStringLiteral("the desktop's portal"), m_bus, getAll}, this,
                [this, generation = m_generation](const QDBusMessage &reply) {
                    if (generation == m_generation)
                        probed(reply);
                });
}

void PortalInput::probed(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage) {
        fail(QStringLiteral("the desktop's portal offers no remote control (%1)")
                 .arg(describeError(reply)));
        return;
    }
    const QVariantMap properties =
        reply.arguments().isEmpty() ? QVariantMap() : mapOf(reply.arguments().constFirst());
    m_version = properties.value(QStringLiteral("version")).toUInt();
    const unsigned types = properties.value(QStringLiteral("AvailableDeviceTypes")).toUInt();
    if ((types & (keyboardDevice | pointerDevice)) != (keyboardDevice | pointerDevice)) {
        fail(QStringLiteral("the desktop's portal offers no remote control of both keyboard and "
                            "pointer (device types %1)")
                 .arg(types));
        return;
    }
    m_log.line("Asking the desktop for permission to control the mouse and keyboard "
               "(RemoteDesktop portal, version",
               QString::number(m_version) + u')');
    request(
        Step::CreatingSession, QStringLiteral("CreateSession"), {},
        {{QStringLiteral("session_handle_token"), QStringLiteral("zc%1").arg(++m_requestCount)}});
}

void PortalInput::request(Step step, const QString &method, QVariantList arguments,
                          QVariantMap options)
{
    setStep(step);
    const QString token = QStringLiteral("zc%1").arg(++m_requestCount);
    options.insert(QStringLiteral("handle_token"), token);
    // The answer may come before the call returns: listen where it will arrive first.
    QString sender = m_bus.baseService().mid(1);
    sender.replace(u'.', u'_');
    const QString expected =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    listenForResponse(expected);
    // Start's answer waits for the user, who may take their time; the others come at once.
    if (step == Step::Starting)
        m_answerTimer.stop();
    else
        m_answerTimer.start();
    QDBusMessage call =
        QDBusMessage::createMethodCall(text(service), text(path), text(interface), method);
    arguments.append(options);
    call.setArguments(arguments);
    sendRequest(
        {QStringLiteral("the desktop's portal"), m_bus, call}, this,
        [this, method, step, expected, generation = m_generation](const QDBusMessage &reply) {
            if (generation != m_generation)
                return;
            if (reply.type() == QDBusMessage::ErrorMessage) {
                fail(QStringLiteral("the desktop's portal refused %1 (%2)")
                         .arg(method, describeError(reply)));
                return;
            }
            // Portals before version 0.9 chose the request path themselves. A reply
            // that comes after its answer (the chain has gone on) changes nothing.
            const QString requestPath =
                reply.arguments().isEmpty() ? QString() : pathOf(reply.arguments().first());
            if (m_step == step && m_requestPath == expected && !requestPath.isEmpty() &&
                requestPath != expected)
                listenForResponse(requestPath);
        });
}

void PortalInput::listenForResponse(const QString &requestPath)
{
    stopListening();
    m_requestPath = requestPath;
    m_bus.connect(text(service), m_requestPath, text(requestInterface), QStringLiteral("Response"),
                  this, SLOT(onResponse(QDBusMessage)));
}

void PortalInput::stopListening()
{
    if (m_requestPath.isEmpty())
        return;
    m_bus.disconnect(text(service), m_requestPath, text(requestInterface),
                     QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    m_requestPath.clear();
}

void PortalInput::onResponse(const QDBusMessage &message)
{
    if (message.path() != m_requestPath || message.arguments().size() < 2)
        return;
    stopListening();
    m_answerTimer.stop();
    const unsigned response = message.arguments().at(0).toUInt();
    const QVariantMap results = mapOf(message.arguments().at(1));
    if (response != responseSuccess) {
        // However the dialog ended without a yes, the user has seen it: not asked again.
        if (m_step == Step::Starting) {
            refuse();
        } else {
            fail(QStringLiteral("the desktop's portal ended the request (response %1)")
                     .arg(response));
        }
        return;
    }
    switch (m_step) {
    case Step::CreatingSession:
        sessionCreated(results);
        break;
    case Step::SelectingDevices:
        request(Step::Starting, QStringLiteral("Start"),
                {QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QString()}, {});
        break;
    case Step::Starting:
        started(results);
        break;
    default:
        break;
    }
}

void PortalInput::sessionCreated(const QVariantMap &results)
{
    m_sessionPath = pathOf(results.value(QStringLiteral("session_handle")));
    if (m_sessionPath.isEmpty()) {
        fail(QStringLiteral("the desktop's portal created a session without a handle"));
        return;
    }
    m_bus.connect(text(service), m_sessionPath, text(sessionInterface), QStringLiteral("Closed"),
                  this, SLOT(onSessionClosed(QDBusMessage)));
    QVariantMap options{{QStringLiteral("types"), keyboardDevice | pointerDevice}};
    if (m_version >= 2) {
        options.insert(QStringLiteral("persist_mode"), persistUntilRevoked);
        if (const QString token = m_hooks.restoreToken(); !token.isEmpty())
            options.insert(QStringLiteral("restore_token"), token);
    }
    request(Step::SelectingDevices, QStringLiteral("SelectDevices"),
            {QVariant::fromValue(QDBusObjectPath(m_sessionPath))}, options);
}

void PortalInput::started(const QVariantMap &results)
{
    const unsigned devices = results.value(QStringLiteral("devices")).toUInt();
    if ((devices & (keyboardDevice | pointerDevice)) != (keyboardDevice | pointerDevice)) {
        refuse();
        return;
    }
    if (m_version >= 2) {
        // A token is good for one start; the next one comes with this session.
        m_hooks.keepRestoreToken(results.value(QStringLiteral("restore_token")).toString());
    } else {
        m_log.line("This desktop's portal cannot remember the permission (RemoteDesktop version",
                   QString::number(m_version) + QStringLiteral("): it asks at every start"));
    }
    setStep(Step::Running);
}

void PortalInput::onSessionClosed(const QDBusMessage &message)
{
    if (message.path() != m_sessionPath)
        return;
    m_bus.disconnect(text(service), m_sessionPath, text(sessionInterface), QStringLiteral("Closed"),
                     this, SLOT(onSessionClosed(QDBusMessage)));
    m_sessionPath.clear();
    fail(QStringLiteral("the desktop ended the remote control session"));
}

void PortalInput::refuse()
{
    m_refused = true;
    fail(QStringLiteral("the permission to control the mouse and keyboard was not given in the "
                        "desktop's dialog; restart Zanti Connect to be asked again"));
}

void PortalInput::fail(const QString &reason)
{
    ++m_generation;
    m_answerTimer.stop();
    m_outbox.clear();
    stopListening();
    closeSession(false);
    m_keysDown.clear();
    m_buttonsDown.clear();
    m_reason = reason;
    m_log.line("Mouse and keyboard input unavailable:", reason);
    setStep(Step::Failed);
}

void PortalInput::closeSession(bool wait)
{
    if (m_sessionPath.isEmpty())
        return;
    m_bus.disconnect(text(service), m_sessionPath, text(sessionInterface), QStringLiteral("Closed"),
                     this, SLOT(onSessionClosed(QDBusMessage)));
    const QDBusMessage close = QDBusMessage::createMethodCall(
        text(service), m_sessionPath, text(sessionInterface), QStringLiteral("Close"));
    m_sessionPath.clear();
    if (wait)
        // At exit: the releases sent before it must reach the desktop before the connection goes.
        m_bus.call(close, QDBus::Block, 1000);
    else
        m_bus.send(close);
}

void PortalInput::notify(const char *method, const QVariantList &arguments)
{
    if (m_step != Step::Running)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(text(service), text(path), text(interface),
                                                       QString::fromLatin1(method));
    QVariantList all{QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QVariantMap()};
    all.append(arguments);
    call.setArguments(all);
    m_outbox.push_back(std::move(call));
    if (!m_inFlight)
        sendNext();
}

void PortalInput::sendNext()
{
    if (m_outbox.empty() || m_inFlight)
        return;
    // A call on a connection that is gone would never finish, and everything would wait for it.
    if (!m_bus.isConnected()) {
        fail(QStringLiteral("the connection to the session bus is lost"));
        return;
    }
    m_inFlight = m_bus.asyncCall(m_outbox.front(), int(callTimeout.count()));
    m_outbox.pop_front();
    auto *watcher = new QDBusPendingCallWatcher(*m_inFlight, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation = m_generation](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                m_inFlight.reset();
                // Calls of a session that failed were dropped with it; what waits now belongs to
                // the next one.
                if (generation != m_generation) {
                    sendNext();
                    return;
                }
                // An event the desktop refused is gone either way; the next one may still go
                // through, and a session that ended says so by its Closed signal.
                if (finished->isError() && !m_errorReported) {
                    m_errorReported = true;
                    m_log.line("The desktop's portal refused input:",
                               describeError(finished->reply()));
                }
                sendNext();
            });
}

void PortalInput::flushBlocking()
{
    // Bounded: a portal that does not answer must not keep the program from ending.
    constexpr int boundMs = 2000;
    QElapsedTimer elapsed;
    elapsed.start();
    if (m_inFlight)
        m_inFlight->waitForFinished();
    while (!m_outbox.empty() && m_step == Step::Running && elapsed.elapsed() < boundMs) {
        m_bus.call(m_outbox.front(), QDBus::Block, int(boundMs - elapsed.elapsed()));
        m_outbox.pop_front();
    }
    m_outbox.clear();
}

void PortalInput::movePointerBy(QPoint offset)
{
    notify("NotifyPointerMotion", {double(offset.x()), double(offset.y())});
}

void PortalInput::button(EvdevKey button, bool down)
{
    if (m_step != Step::Running)
        return;
    if (down)
        m_buttonsDown.insert(button);
    else if (m_buttonsDown.erase(button) == 0)
        return;
    notify("NotifyPointerButton", {int(button), unsigned(down ? 1 : 0)});
}

void PortalInput::scroll(int verticalSteps, int horizontalSteps)
{
    if (verticalSteps != 0)
        notify("NotifyPointerAxisDiscrete", {verticalAxis, verticalSteps});
    if (horizontalSteps != 0)
        notify("NotifyPointerAxisDiscrete", {horizontalAxis, horizontalSteps});
}

void PortalInput::key(EvdevKey key, bool down)
{
    if (m_step != Step::Running)
        return;
    if (down)
        m_keysDown.insert(key);
    else if (m_keysDown.erase(key) == 0)
        return;
    notify("NotifyKeyboardKeycode", {int(key), unsigned(down ? 1 : 0)});
}

std::optional<QString> PortalInput::typeText(QStringView text)
{
    if (m_step != Step::Running)
        return QStringLiteral("Text dropped until the desktop allows input");
    const XkbKeymap *keymap = m_hooks.keymap();
    if (!keymap && !m_keymapUnknownReported) {
        m_keymapUnknownReported = true;
        m_log.line("The desktop's keyboard layout is unknown: characters it lacks are lost without "
                   "notice");
    }
    QList<uint> characters = text.toUcs4();
    const std::size_t waiting = std::min(waitingCharacters(), maxWaitingCharacters);
    const std::size_t room = std::min(maxTextLength, maxWaitingCharacters - waiting);
    if (std::size_t(characters.size()) > room) {
        m_log.line("Typing cut short,", std::size_t(characters.size()) - room,
                   "characters not typed: at most", maxTextLength, "per text and",
                   maxWaitingCharacters, "waiting");
        characters.resize(qsizetype(room));
    }
    std::int64_t dropped = 0;
    for (const uint character : characters) {
        std::optional<Keysym> keysym;
        if (character == U'\n')
            keysym = returnKeysym;
        else if (character == U'\t')
            keysym = tabKeysym;
        else if (keymap)
            keysym = keymap->keysymFor(character, XkbKeymap::Layouts::Any);
        else
            keysym = XkbKeymap::likelyKeysym(character);
        if (!keysym) {
            ++dropped;
            continue;
        }
        // The desktop finds the key and the Shift or AltGr it needs in its own layout.
        notify("NotifyKeyboardKeysym", {int(*keysym), 1u});
        notify("NotifyKeyboardKeysym", {int(*keysym), 0u});
    }
    if (dropped > 0)
        return QStringLiteral("Characters the desktop's keyboard layout cannot type were dropped: "
                              "%1")
            .arg(dropped);
    return std::nullopt;
}

std::size_t PortalInput::waitingCharacters() const
{
    return std::size_t(
        std::count_if(m_outbox.begin(), m_outbox.end(), [](const QDBusMessage &call) {
            return call.member() == u"NotifyKeyboardKeysym" && call.arguments().at(3).toUInt() == 1;
        }));
}

void PortalInput::dropWaitingText()
{
    // A release whose press has gone out stays: the desktop holds that key.
    std::set<int> pressesDropped;
    std::size_t dropped = 0;
    std::erase_if(m_outbox, [&](const QDBusMessage &call) {
        if (call.member() != u"NotifyKeyboardKeysym")
            return false;
        const int keysym = call.arguments().at(2).toInt();
        if (call.arguments().at(3).toUInt() == 1) {
            pressesDropped.insert(keysym);
            ++dropped;
            return true;
        }
        return pressesDropped.erase(keysym) > 0;
    });
    if (dropped > 0)
        m_log.line("Typing stopped,", dropped, "characters not typed");
}

void PortalInput::releaseAll()
{
    dropWaitingText();
    for (const EvdevKey key : std::set<EvdevKey>(m_keysDown))
        this->key(key, false);
    for (const EvdevKey button : std::set<EvdevKey>(m_buttonsDown))
        this->button(button, false);
}

} // namespace zc

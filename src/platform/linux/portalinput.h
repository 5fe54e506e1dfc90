#pragma once

#include "ilinuxinput.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <set>

namespace zc {

class Log;
class XkbKeymap;

// Input through the RemoteDesktop interface of xdg-desktop-portal, which GNOME and KDE implement
// on Wayland: the desktop asks the user for permission once per session, then takes relative
// pointer motion, evdev buttons and keys, discrete wheel steps and keysyms.
//
// Setting up is a chain of requests (CreateSession, SelectDevices, Start), each answered later by
// a Response signal on a request object; Start waits for the user's answer to the desktop's
// dialog, however long it takes. Input given before the answer is dropped. From version 2 on,
// the portal hands out a token that starts the next session without asking again.
class PortalInput final : public QObject, public ILinuxInput
{
    Q_OBJECT

public:
    struct Hooks
    {
        std::function<QString()> restoreToken = [] { return QString(); };
        std::function<void(const QString &)> keepRestoreToken = [](const QString &) {};
        // The layout the desktop types with, to tell which characters it can type; null when it
        // is not known.
        std::function<const XkbKeymap *()> keymap = [] { return nullptr; };
    };

    // The xdg-desktop-portal frontend on the session bus.
    static constexpr const char *service = "org.freedesktop.portal.Desktop";
    static constexpr const char *path = "/org/freedesktop/portal/desktop";
    static constexpr const char *interface = "org.freedesktop.portal.RemoteDesktop";
    // As on X11: beyond these, a phone could keep the keyboard busy for minutes (each character
    // is two calls, one at a time).
    static constexpr std::size_t maxTextLength = 10'000;
    static constexpr std::size_t maxWaitingCharacters = 20'000;
    // CreateSession and SelectDevices answer at once; Start waits for the user, without a bound.
    static constexpr std::chrono::milliseconds answerTimeout{30'000};
    // A Notify call is answered in well under a millisecond; this bounds a hung portal's hold.
    static constexpr std::chrono::milliseconds callTimeout{1'000};

    // Whether the portal on this bus offers remote control of a keyboard and a pointer. Blocks
    // for at most `timeoutMs`: the portal is started on demand.
    static bool offeredOn(const QDBusConnection &bus, int timeoutMs);

    // Starts setting up at once.
    PortalInput(const QDBusConnection &bus, Log &log, Hooks hooks);
    // Releases what is held and closes the session, waiting briefly for the portal to take it.
    ~PortalInput() override;
    PortalInput(const PortalInput &) = delete;
    PortalInput &operator=(const PortalInput &) = delete;

    QString name() const override;
    InputCapabilities capabilities() const override;
    InputState state() const override;
    QString unavailableReason() const override;
    void setStateHandler(std::function<void()> handler) override;
    void restart() override;

    std::optional<QPoint> pointerPosition() override { return std::nullopt; }
    QSize desktopSize() override { return {}; }
    void movePointer(QPoint) override {}
    void movePointerBy(QPoint offset) override;
    void button(EvdevKey button, bool down) override;
    void scroll(int verticalSteps, int horizontalSteps) override;
    void key(EvdevKey key, bool down) override;
    std::optional<QString> typeText(QStringView text) override;
    // Also drops the characters of texts still waiting to be sent.
    void releaseAll() override;

private slots:
    void onResponse(const QDBusMessage &message);
    void onSessionClosed(const QDBusMessage &message);

private:
    enum class Step
    {
        Probing,
        CreatingSession,
        SelectingDevices,
        Starting,
        Running,
        Failed,
    };

    void start();
    void probed(const QDBusMessage &reply);
    // Calls a method that answers through a request object, listening on it before the call.
    void request(Step step, const QString &method, QVariantList arguments, QVariantMap options);
    void listenForResponse(const QString &requestPath);
    void stopListening();
    void sessionCreated(const QVariantMap &results);
    void started(const QVariantMap &results);
    void fail(const QString &reason);
    void refuse();
    void setStep(Step step);
    void closeSession(bool wait);
    void notify(const char *method, const QVariantList &arguments);
    void sendNext();
    std::size_t waitingCharacters() const;
    // The characters of texts not yet sent, both their presses and releases.
    void dropWaitingText();
    // At exit: what is still waiting goes out, each call awaited, within a bound.
    void flushBlocking();

    QDBusConnection m_bus;
    Log &m_log;
    Hooks m_hooks;
    Step m_step = Step::Probing;
    QString m_reason;
    // Refused by the user: not asked again in this run, the user has answered.
    bool m_refused = false;
    std::function<void()> m_stateHandler;
    QTimer m_answerTimer;
    unsigned m_version = 0;
    unsigned m_requestCount = 0;
    // Each setting-up gets a number; replies to an earlier one are ignored.
    unsigned m_generation = 0;
    QString m_requestPath;
    QString m_sessionPath;
    // The portal handles each call on a thread of its own: calls sent back to back reach the
    // desktop in any order (a Shift after the key it was for, a release before its press). So one
    // call is in flight at a time, and the rest wait here, in order.
    std::deque<QDBusMessage> m_outbox;
    std::optional<QDBusPendingCall> m_inFlight;
    std::set<EvdevKey> m_keysDown;
    std::set<EvdevKey> m_buttonsDown;
    bool m_keymapUnknownReported = false;
    bool m_errorReported = false;
};

} // namespace zc

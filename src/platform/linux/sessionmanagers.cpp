#include "sessionmanagers.h"

#include <QVariant>

namespace zc {

namespace {

DBusRequest gnome(const QDBusConnection &bus, SessionEnd end)
{
    QString method;
    QVariantList arguments;
    switch (end) {
    case SessionEnd::LogOut:
        method = QStringLiteral("Logout");
        // 0: the normal log-out, with the confirmation dialog (1 skips it, 2 forces it).
        arguments = {QVariant::fromValue(0u)};
        break;
    case SessionEnd::ShutDown:
        method = QStringLiteral("Shutdown");
        break;
    case SessionEnd::Restart:
        method = QStringLiteral("Reboot");
        break;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.SessionManager"), QStringLiteral("/org/gnome/SessionManager"),
        QStringLiteral("org.gnome.SessionManager"), method);
    message.setArguments(arguments);
    return {QStringLiteral("the GNOME session manager"), bus, message};
}

DBusRequest kde(const QDBusConnection &bus, SessionEnd end)
{
    QString method;
    switch (end) {
    case SessionEnd::LogOut:
        method = QStringLiteral("promptLogout");
        break;
    case SessionEnd::ShutDown:
        method = QStringLiteral("promptShutDown");
        break;
    case SessionEnd::Restart:
        method = QStringLiteral("promptReboot");
        break;
    }
    return {QStringLiteral("the KDE Plasma logout prompt"), bus,
            QDBusMessage::createMethodCall(QStringLiteral("org.kde.LogoutPrompt"),
                                           QStringLiteral("/LogoutPrompt"),
                                           QStringLiteral("org.kde.LogoutPrompt"), method)};
}

DBusRequest xfce(const QDBusConnection &bus, SessionEnd end)
{
    QString method;
    QVariantList arguments;
    switch (end) {
    case SessionEnd::LogOut:
        method = QStringLiteral("Logout");
        // show_dialog, allow_save
        arguments = {true, true};
        break;
    case SessionEnd::ShutDown:
        method = QStringLiteral("Shutdown");
        // allow_save
        arguments = {true};
        break;
    case SessionEnd::Restart:
        method = QStringLiteral("Restart");
        arguments = {true};
        break;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.xfce.SessionManager"), QStringLiteral("/org/xfce/SessionManager"),
        QStringLiteral("org.xfce.Session.Manager"), method);
    message.setArguments(arguments);
    return {QStringLiteral("the Xfce session manager"), bus, message};
}

} // namespace

QList<DBusRequest> sessionManagerRequests(const QDBusConnection &sessionBus, SessionEnd end)
{
    return {gnome(sessionBus, end), kde(sessionBus, end), xfce(sessionBus, end)};
}

} // namespace zc

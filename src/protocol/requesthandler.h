#pragma once

#include "keyboardcontrols.h"
#include "launchurls.h"
#include "mousecontrols.h"
#include "vlccontrols.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace zc {

class IInputEvents;
class IPowerActions;
class ITextInput;
class IWorkspace;
class Log;
class ZantiPreferences;

// Applies the time-stamp rule to command messages from either transport and hands each accepted
// request to the executor its path names. While authentication is on, only messages that carry
// the server password are executed.
class RequestHandler
{
public:
    RequestHandler(IInputEvents &input, ITextInput &text, IPowerActions &power,
                   IWorkspace &workspace, ZantiPreferences &preferences, Log &log);

    void processMessage(const QJsonObject &message);
    void handleRequest(const QString &request);

    const QString &appAuthKey() const { return m_appAuthKey; }
    const QString &password() const { return m_password; }
    // The stamp of the last well-formed message, executed or not; both transports share it.
    std::uint64_t sentTime() const { return m_sentTime; }
    const QString &request() const { return m_request; }

private:
    QString m_appAuthKey;
    QString m_password;
    std::uint64_t m_sentTime = 0;
    QString m_request;
    VlcControls m_vlc;
    LaunchUrls m_launchUrls;
    MouseControls m_mouseControls;
    KeyboardControls m_keyboardControls;
    ZantiPreferences &m_preferences;
    Log &m_log;
};

} // namespace zc

#pragma once

#include "commanddatagram.h"
#include "computerdetails.h"
#include "discoveryresponder.h"
#include "fakesysteminfo.h"
#include "logcapture.h"
#include "recordingdesktop.h"
#include "requesthandler.h"
#include "tcpserverrestartdelegate.h"
#include "udpserverrestartdelegate.h"
#include "zantipreferences.h"

#include <QTemporaryDir>

namespace zc::test {

// What the command servers stand on, built afresh for every test: a recording desktop, a
// system that answers as told, preferences in a folder of their own, and one log for it all.
struct CommandStack
{
    RecordingDesktop desktop;
    FakeSystemInfo system;
    LogCapture capture;
    QTemporaryDir settingsDirectory;
    ZantiPreferences preferences{settingsDirectory.path(), capture.log};
    PrivateSettings privateSettings{settingsDirectory.path(), capture.log};
    ComputerDetails details{system, preferences, capture.log};
    DiscoveryResponder responder{details, preferences, capture.log};
    RequestHandler handler{desktop, desktop, desktop, desktop, preferences, capture.log};
};

// Records every change of running state a server reports.
struct RecordingDelegate final : UDPServerRestartDelegate, tcpServerRestartDelegate
{
    QList<bool> states;
    void udpServerRunningChanged(bool running) override { states.append(running); }
    void tcpServerRunningChanged(bool running) override { states.append(running); }
};

// A key press as the phone sends it; "enter", "tab" and "esc" are desktop keys 36, 48 and 53.
inline QByteArray keyCommand(quint64 stamp, const char *key)
{
    return commandDatagram(stamp, QStringLiteral("/keyboard?key=") + QLatin1String(key));
}

} // namespace zc::test

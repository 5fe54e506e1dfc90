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

#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

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

inline bool tcpFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

// A port from which `count` ports in a row are free for both TCP and UDP.
inline quint16 freeRun(int count)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 0))
            continue;
        const quint16 base = probe.serverPort();
        probe.close();
        bool allFree = base <= 65535 - count;
        for (int i = 0; i < count && allFree; ++i) {
            QUdpSocket udp;
            allFree = tcpFree(quint16(base + i)) && udp.bind(QHostAddress::Any, quint16(base + i),
                                                             QAbstractSocket::DontShareAddress);
        }
        if (allFree)
            return base;
    }
    return 0;
}

// A key press as the phone sends it; "enter", "tab" and "esc" are desktop keys 36, 48 and 53.
inline QByteArray keyCommand(quint64 stamp, const char *key)
{
    return commandDatagram(stamp, QStringLiteral("/keyboard?key=") + QLatin1String(key));
}

} // namespace zc::test

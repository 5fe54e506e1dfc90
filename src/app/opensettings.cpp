#include "opensettings.h"

#include "iworkspace.h"
#include "log.h"

#include <QFile>
#include <QTcpSocket>
#include <QUrl>

namespace zc {

int openSettingsPage(const QString &addressFile, IWorkspace &workspace, Log &log)
{
    QFile file(addressFile);
    const QUrl address = file.open(QIODevice::ReadOnly)
                             ? QUrl(QString::fromUtf8(file.readLine(4096).trimmed()))
                             : QUrl();
    // A program that was killed leaves its file behind: only a page that answers counts.
    QTcpSocket probe;
    if (address.isValid() && address.host() == QLatin1String("127.0.0.1") && address.port() > 0)
        probe.connectToHost(address.host(), quint16(address.port()));
    if (probe.state() == QAbstractSocket::UnconnectedState || !probe.waitForConnected(3000)) {
        log.line("zanti-connect is not running, so there is no settings page to open; start it "
                 "first, then run zanti-connect --open-settings again");
        return 1;
    }
    workspace.openUrl(address);
    return 0;
}

} // namespace zc

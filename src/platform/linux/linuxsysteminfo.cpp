#include "linuxsysteminfo.h"

#include <QFile>
#include <QNetworkInterface>
#include <QSysInfo>

#include <limits>

namespace zc {

namespace {

constexpr unsigned routeUp = 0x1;

// A value of an environment-style file: bare, 'single-quoted' or "double-quoted" with
// backslash escapes.
QString unquote(QStringView value)
{
    if (value.size() >= 2 && value.front() == u'\'' && value.back() == u'\'')
        return value.sliced(1, value.size() - 2).toString();
    if (value.size() < 2 || value.front() != u'"' || value.back() != u'"')
        return value.toString();
    QString text;
    const QStringView inner = value.sliced(1, value.size() - 2);
    for (qsizetype i = 0; i < inner.size(); ++i) {
        if (inner[i] == u'\\' && i + 1 < inner.size())
            ++i;
        text += inner[i];
    }
    return text;
}

} // namespace

LinuxSystemInfo::LinuxSystemInfo(QString routeTable, QString machineInfo)
    : m_routeTable(std::move(routeTable)), m_machineInfo(std::move(machineInfo))
{}

std::optional<QString> LinuxSystemInfo::prettyHostName()
{
    QFile file(m_machineInfo);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QString content = QString::fromUtf8(file.readAll());
    for (QStringView line : QStringView(content).split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(QLatin1String("PRETTY_HOSTNAME="))) {
            const QString name = unquote(line.sliced(16));
            return name.isEmpty() ? std::nullopt : std::optional<QString>(name);
        }
    }
    return std::nullopt;
}

QString LinuxSystemInfo::hostName()
{
    return QSysInfo::machineHostName();
}

std::optional<QString> LinuxSystemInfo::defaultRouteInterface()
{
    QFile file(m_routeTable);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    std::optional<QString> best;
    qulonglong bestMetric = std::numeric_limits<qulonglong>::max();
    file.readLine(); // column titles
    while (!file.atEnd()) {
        const QList<QByteArray> columns = file.readLine().simplified().split(' ');
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        if (columns.size() < 8 || columns[1] != "00000000" || columns[7] != "00000000")
            continue;
        bool flagsOk = false;
        bool metricOk = false;
        const uint flags = columns[3].toUInt(&flagsOk, 16);
        const qulonglong metric = columns[6].toULongLong(&metricOk, 10);
        if (!flagsOk || !metricOk || !(flags & routeUp) || metric >= bestMetric)
            continue;
        best = QString::fromUtf8(columns[0]);
        bestMetric = metric;
    }
    return best;
}

std::optional<QByteArray> LinuxSystemInfo::hardwareAddress(const QString &interfaceName)
{
    if (interfaceName.isEmpty() || interfaceName.contains(u'/') || interfaceName.startsWith(u'.'))
        return std::nullopt;
    // The interface's own file is far cheaper than enumerating every interface.
    QFile file(QStringLiteral("/sys/class/net/%1/address").arg(interfaceName));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QByteArray bytes = QByteArray::fromHex(file.readAll().trimmed().replace(':', ""));
    if (bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

std::optional<QString> LinuxSystemInfo::ipv4Address(const QString &interfaceName)
{
    const QNetworkInterface interface = QNetworkInterface::interfaceFromName(interfaceName);
    for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return entry.ip().toString();
    }
    return std::nullopt;
}

QString LinuxSystemInfo::kernelRelease()
{
    return QSysInfo::kernelVersion();
}

} // namespace zc

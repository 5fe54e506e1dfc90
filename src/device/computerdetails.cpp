#include "computerdetails.h"

#include "isysteminfo.h"
#include "log.h"
#include "zantipreferences.h"

#include <QRegularExpression>

namespace zc {

ComputerDetails::ComputerDetails(ISystemInfo &system, ZantiPreferences &preferences, Log &log)
    : m_system(system), m_preferences(preferences), m_log(log)
{}

QString ComputerDetails::getMACAddress() const
{
    const std::optional<QString> interfaceName = m_system.defaultRouteInterface();
    if (!interfaceName)
        return QStringLiteral("Unknown");
    const std::optional<QByteArray> bytes = m_system.hardwareAddress(*interfaceName);
    if (!bytes || bytes->size() != 6 || bytes->count('\0') == 6)
        return QStringLiteral("Unknown");
    return QString::fromLatin1(bytes->toHex(':'));
}

QString ComputerDetails::computerName() const
{
    const std::optional<QString> pretty = m_system.prettyHostName();
    if (pretty && !pretty->trimmed().isEmpty())
        return *pretty;
    return m_system.hostName();
}

QString ComputerDetails::systemDescription() const
{
    static const QRegularExpression leadingNumbers(
        QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = leadingNumbers.match(m_system.kernelRelease());
    QStringList numbers;
    for (int i = 1; i <= 3; ++i) {
        const QString number = match.captured(i);
        numbers.append(number.isEmpty() ? QStringLiteral("0")
                                        : QString::number(number.toULongLong()));
    }
    return QStringLiteral("Linux - ") + numbers.join(u'.');
}

QString ComputerDetails::programVersion()
{
    return QStringLiteral(ZANTI_CONNECT_VERSION);
}

const ComputerDetails::Facts &ComputerDetails::facts() const
{
    const auto time = now();
    if (!m_facts || time - m_factsRead >= freshFor) {
        m_facts = Facts{computerName(), getMACAddress(), systemDescription()};
        m_factsRead = time;
    }
    return *m_facts;
}

UDPResponse ComputerDetails::getUDPResponse() const
{
    const QString version = programVersion();
    const Facts &current = facts();
    const QString &system = current.system;
    const QString &deviceName = current.name;
    const QString &dnsHostName = current.name;
    const QString &mac = current.macAddress;
    const std::optional<quint16> tcpPortInUse = m_tcpPortInUse ? m_tcpPortInUse() : std::nullopt;
    return UDPResponse(deviceName, dnsHostName, mac, QString::number(m_preferences.serverUDPPort()),
                       QString::number(tcpPortInUse.value_or(m_preferences.serverTCPPort())),
                       m_preferences.isAuthenticationEnabled(),
                       QString::number(m_preferences.VLCPort()), m_preferences.VLCPassword(),
                       version, system);
}

UDPResponse ComputerDetails::getAuthenticationRequiredResponse() const
{
    m_log.line(m_preferences.isAuthenticationEnabled());
    const Facts &current = facts();
    return UDPResponse(current.name, current.name, current.macAddress, QString(), QString(), true,
                       QString(), QString(), QString(), QString());
}

} // namespace zc

#include "computerdetails.h"
#include "fakesysteminfo.h"
#include "linux/linuxsysteminfo.h"
#include "logcapture.h"
#include "zantipreferences.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/utsname.h>

using namespace zc;
using namespace zc::test;

class TestComputerDetails : public QObject
{
    Q_OBJECT

    QTemporaryDir directory;
    LogCapture capture;
    FakeSystemInfo system;
    std::optional<ZantiPreferences> preferences;

    QString writeFixture(const QString &name, const QByteArray &content)
    {
        const QString path = directory.filePath(name);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(content);
        return path;
    }

private slots:
    void init()
    {
        system = FakeSystemInfo();
        QFile::remove(directory.filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json")));
        preferences.emplace(directory.path(), capture.log);
        capture.clear();
    }

    void macAddress_data()
    {
        QTest::addColumn<std::optional<QString>>("route");
        QTest::addColumn<std::optional<QByteArray>>("bytes");
        QTest::addColumn<QString>("text");

        const std::optional<QString> eth0 = QStringLiteral("eth0");
        QTest::newRow("leading zeros, lower case")
            << eth0 << std::optional(QByteArray::fromHex("0a1b2c3d4e5f")) << "0a:1b:2c:3d:4e:5f";
        QTest::newRow("all high") << eth0 << std::optional(QByteArray::fromHex("ffeeddccbbaa"))
                                  << "ff:ee:dd:cc:bb:aa";
        QTest::newRow("no default route")
            << std::optional<QString>() << std::optional(QByteArray::fromHex("0a1b2c3d4e5f"))
            << "Unknown";
        QTest::newRow("interface without hardware address")
            << eth0 << std::optional<QByteArray>() << "Unknown";
        QTest::newRow("all zeros") << eth0 << std::optional(QByteArray(6, '\0')) << "Unknown";
        QTest::newRow("not six bytes")
            << eth0 << std::optional(QByteArray::fromHex("0011223344556677")) << "Unknown";
    }

    void macAddress()
    {
        QFETCH(std::optional<QString>, route);
        QFETCH(std::optional<QByteArray>, bytes);
        QFETCH(QString, text);
        system.routeInterface = route;
        system.address = bytes;
        QCOMPARE(ComputerDetails(system, *preferences, capture.log).getMACAddress(), text);
    }

    void systemDescription_data()
    {
        QTest::addColumn<QString>("release");
        QTest::addColumn<QString>("description");
        QTest::newRow("distribution kernel") << "6.1.0-18-amd64"
                                             << "Linux - 6.1.0";
        QTest::newRow("two numbers") << "5.10"
                                     << "Linux - 5.10.0";
        QTest::newRow("two numbers and a suffix") << "6.8-rc1"
                                                  << "Linux - 6.8.0";
        QTest::newRow("four numbers") << "4.19.0.5"
                                      << "Linux - 4.19.0";
        QTest::newRow("leading zeros") << "6.01.007"
                                       << "Linux - 6.1.7";
        QTest::newRow("nothing readable") << "custom"
                                          << "Linux - 0.0.0";
    }

    void systemDescription()
    {
        QFETCH(QString, release);
        QFETCH(QString, description);
        system.kernel = release;
        QCOMPARE(ComputerDetails(system, *preferences, capture.log).systemDescription(),
                 description);
    }

    void computerName_data()
    {
        QTest::addColumn<std::optional<QString>>("pretty");
        QTest::addColumn<QString>("name");
        QTest::newRow("pretty name wins")
            << std::optional<QString>("Ana's Laptop") << "Ana's Laptop";
        QTest::newRow("host name otherwise") << std::optional<QString>() << "workstation";
        QTest::newRow("blank pretty name") << std::optional<QString>("  ") << "workstation";
    }

    void computerName()
    {
        QFETCH(std::optional<QString>, pretty);
        QFETCH(QString, name);
        system.pretty = pretty;
        QCOMPARE(ComputerDetails(system, *preferences, capture.log).computerName(), name);
    }

    void fullReply()
    {
        preferences->setServerUDPPort(6000);
        preferences->setServerTCPPort(6001);
        preferences->setVLCPort(8081);
        preferences->setVLCPassword(QString());
        capture.clear();
        const UDPResponse response =
            ComputerDetails(system, *preferences, capture.log).getUDPResponse();
        const std::optional<QByteArray> bytes = encodeResponse(response, capture.log);
        QVERIFY(bytes);
        QVERIFY2(bytes->count('\n') >= 11, bytes->constData());
        const QJsonObject reply = QJsonDocument::fromJson(*bytes).object();
        const QJsonObject expected{{"device_name", "workstation"},
                                   {"dns_host_name", "workstation"},
                                   {"mac_address", "0a:1b:2c:3d:4e:5f"},
                                   {"web_server_port", "6000"},
                                   {"tcp_server_port", "6001"},
                                   {"is_authentication_enabled", "false"},
                                   {"vlc_port", "8081"},
                                   {"vlc_password", ""},
                                   {"zanti_version", ZANTI_CONNECT_VERSION},
                                   {"system_os", "Linux - 6.1.0"}};
        QCOMPARE(reply, expected);
        // The switch's own line, then the encoder's four.
        QCOMPARE(capture.lines(), (QStringList{"false", "******", "6000", "6000", "false"}));
    }

    void reducedReply()
    {
        preferences->setIsAuthenticationEnabled(true);
        capture.clear();
        const UDPResponse response =
            ComputerDetails(system, *preferences, capture.log).getAuthenticationRequiredResponse();
        const QJsonObject reply =
            QJsonDocument::fromJson(*encodeResponse(response, capture.log)).object();
        QCOMPARE(reply.size(), 10);
        QCOMPARE(reply.value("is_authentication_enabled"), QJsonValue("true"));
        QCOMPARE(reply.value("device_name"), QJsonValue("workstation"));
        QCOMPARE(reply.value("mac_address"), QJsonValue("0a:1b:2c:3d:4e:5f"));
        for (const char *key : {"web_server_port", "tcp_server_port", "vlc_port", "vlc_password",
                                "zanti_version", "system_os"})
            QCOMPARE(reply.value(QLatin1String(key)), QJsonValue(""));
        QCOMPARE(capture.lines(), (QStringList{"true", "true", "******", "", "nil", "true"}));
        QVERIFY(response.description().startsWith(QLatin1String("UDPResponse(device_name: ")));
    }

    void linuxRouteTable_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<std::optional<QString>>("interfaceName");

        const QByteArray header =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        QTest::newRow("lowest metric wins")
            << header + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
            << std::optional<QString>("eth0");
        QTest::newRow("route that is down is skipped")
            << header + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n"
                        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
            << std::optional<QString>("wlan0");
        QTest::newRow("no default route")
            << header + "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
            << std::optional<QString>();
        QTest::newRow("garbage") << QByteArray("nonsense\n\n\t\t\n") << std::optional<QString>();
    }

    void linuxRouteTable()
    {
        QFETCH(QByteArray, table);
        QFETCH(std::optional<QString>, interfaceName);
        LinuxSystemInfo info(writeFixture(QStringLiteral("route"), table));
        QCOMPARE(info.defaultRouteInterface(), interfaceName);
    }

    void linuxPrettyName_data()
    {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<std::optional<QString>>("name");
        QTest::newRow("double quoted")
            << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ana's \\\"Book\\\"\"\n")
            << std::optional<QString>("Ana's \"Book\"");
        QTest::newRow("single quoted")
            << QByteArray("PRETTY_HOSTNAME='Den PC'\n") << std::optional<QString>("Den PC");
        QTest::newRow("bare") << QByteArray("PRETTY_HOSTNAME=box\n")
                              << std::optional<QString>("box");
        QTest::newRow("absent") << QByteArray("CHASSIS=desktop\n") << std::optional<QString>();
        QTest::newRow("empty") << QByteArray("PRETTY_HOSTNAME=\n") << std::optional<QString>();
    }

    void linuxPrettyName()
    {
        QFETCH(QByteArray, machineInfo);
        QFETCH(std::optional<QString>, name);
        LinuxSystemInfo info(QStringLiteral("/nonexistent"),
                             writeFixture(QStringLiteral("machine-info"), machineInfo));
        QCOMPARE(info.prettyHostName(), name);
    }

    void thisMachine()
    {
        LinuxSystemInfo info;
        ComputerDetails details(info, *preferences, capture.log);
        utsname names{};
        QCOMPARE(::uname(&names), 0);
        QCOMPARE(info.kernelRelease(), QString::fromUtf8(names.release));
        QVERIFY(details.systemDescription().contains(
            QRegularExpression(QStringLiteral("^Linux - \\d+\\.\\d+\\.\\d+$"))));
        QVERIFY(!details.computerName().isEmpty());
        const QString mac = details.getMACAddress();
        QVERIFY2(
            mac == QLatin1String("Unknown") ||
                mac.contains(QRegularExpression(QStringLiteral("^([0-9a-f]{2}:){5}[0-9a-f]{2}$"))),
            qPrintable(mac));
        QCOMPARE(details.getMACAddress(), mac);
    }
};

QTEST_GUILESS_MAIN(TestComputerDetails)
#include "tst_computerdetails.moc"

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
    std::optional<ZantiPreferences> preferences;

private slots:
    void init()
    {
        QFile::remove(directory.filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json")));
        preferences.emplace(directory.path(), capture.log);
        capture.clear();
    }

    // What the phone is shown of the system. Its name, MAC address and description come from
    // separate answers, so each row tries one case of each.
    void identity_data()
    {
        QTest::addColumn<std::optional<QString>>("pretty");
        QTest::addColumn<QString>("route"); // empty: no default route
        QTest::addColumn<std::optional<QByteArray>>("address");
        QTest::addColumn<QString>("kernel");
        QTest::addColumn<QStringList>("shown");

        const std::optional<QString> none;
        const std::optional<QByteArray> usual = QByteArray::fromHex("0a1b2c3d4e5f");
        QTest::newRow("host name, leading zeros, distribution kernel")
            << none << "eth0" << usual << "6.1.0-18-amd64"
            << QStringList{"workstation", "0a:1b:2c:3d:4e:5f", "Linux - 6.1.0"};
        QTest::newRow("pretty name, no default route, two numbers and a suffix")
            << std::optional<QString>("Ana's Laptop") << "" << usual << "6.8-rc1"
            << QStringList{"Ana's Laptop", "Unknown", "Linux - 6.8.0"};
        QTest::newRow("blank pretty name, no hardware address, four numbers")
            << std::optional<QString>("  ") << "eth0" << std::optional<QByteArray>() << "4.19.0.5"
            << QStringList{"workstation", "Unknown", "Linux - 4.19.0"};
        QTest::newRow("all-zero address, leading zeros")
            << none << "eth0" << std::optional(QByteArray(6, 0)) << "6.01.007"
            << QStringList{"workstation", "Unknown", "Linux - 6.1.7"};
        QTest::newRow("not six bytes, nothing readable")
            << none << "eth0" << std::optional(QByteArray::fromHex("0011223344556677")) << "custom"
            << QStringList{"workstation", "Unknown", "Linux - 0.0.0"};
    }

    void identity()
    {
        FakeSystemInfo system;
        QFETCH(std::optional<QString>, pretty);
        QFETCH(QString, route);
        QFETCH(std::optional<QByteArray>, address);
        QFETCH(QString, kernel);
        QFETCH(QStringList, shown);
        system.pretty = pretty;
        system.routeInterface = route.isEmpty() ? std::nullopt : std::optional(route);
        system.address = address;
        system.kernel = kernel;
        const ComputerDetails details(system, *preferences, capture.log);
        QCOMPARE((QStringList{details.computerName(), details.getMACAddress(),
                              details.systemDescription()}),
                 shown);
    }

    void replies_data()
    {
        QTest::addColumn<bool>("authenticationRequired");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QStringList>("logLines");

        const QJsonObject full{{"device_name", "workstation"},
                               {"dns_host_name", "workstation"},
                               {"mac_address", "0a:1b:2c:3d:4e:5f"},
                               {"web_server_port", "6000"},
                               {"tcp_server_port", "6001"},
                               {"is_authentication_enabled", "false"},
                               {"vlc_port", "8081"},
                               {"vlc_password", "vlcsecret"},
                               {"zanti_version", ZANTI_CONNECT_VERSION},
                               {"system_os", "Linux - 6.1.0"}};
        QJsonObject reduced = full;
        for (const char *key : {"web_server_port", "tcp_server_port", "vlc_port", "vlc_password",
                                "zanti_version", "system_os"})
            reduced.insert(QLatin1String(key), QString());
        reduced.insert(QStringLiteral("is_authentication_enabled"), QStringLiteral("true"));
        // The switch's own line (twice when the reply is held back), then the encoder's four.
        QTest::newRow("full") << false << full
                              << QStringList{"false", "******", "6000", "6000", "false"};
        QTest::newRow("authentication required")
            << true << reduced << QStringList{"true", "true", "******", "", "nil", "true"};
    }

    void replies()
    {
        QFETCH(bool, authenticationRequired);
        QFETCH(QJsonObject, reply);
        QFETCH(QStringList, logLines);
        preferences->setServerUDPPort(6000);
        preferences->setServerTCPPort(6001);
        preferences->setVLCPort(8081);
        preferences->setVLCPassword(QStringLiteral("vlcsecret"));
        preferences->setIsAuthenticationEnabled(authenticationRequired);
        capture.clear();
        FakeSystemInfo system;
        const ComputerDetails details(system, *preferences, capture.log);
        const UDPResponse response = authenticationRequired
                                         ? details.getAuthenticationRequiredResponse()
                                         : details.getUDPResponse();
        const std::optional<QByteArray> bytes = encodeResponse(response, capture.log);
        QVERIFY(bytes);
        // Pretty-printed: one field a line.
        QVERIFY2(bytes->count('\n') >= 11, bytes->constData());
        QCOMPARE(QJsonDocument::fromJson(*bytes).object(), reply);
        QCOMPARE(capture.lines(), logLines);
        QVERIFY(!response.description().contains(QLatin1String("vlcsecret")));
    }

    // The phone connects to the TCP port named here: where the server really is, once it had to
    // move up from a configured port another program holds.
    void replyNamesTheTCPPortInUse()
    {
        preferences->setServerTCPPort(6001);
        FakeSystemInfo system;
        ComputerDetails details(system, *preferences, capture.log);
        std::optional<quint16> inUse;
        details.setTCPPortInUse([&inUse] { return inUse; });
        QCOMPARE(details.getUDPResponse().tcp_server_port, QStringLiteral("6001"));
        inUse = 6003;
        QCOMPARE(details.getUDPResponse().tcp_server_port, QStringLiteral("6003"));
    }

    // The replies reuse what they read for up to a second, so a new name or address shows in
    // the first reply after that second, and in none before.
    void repliesAreAtMostASecondOld()
    {
        FakeSystemInfo system;
        ComputerDetails details(system, *preferences, capture.log);
        std::chrono::steady_clock::time_point time;
        details.now = [&time] { return time; };
        const auto shown = [&details](bool reduced) {
            const UDPResponse r =
                reduced ? details.getAuthenticationRequiredResponse() : details.getUDPResponse();
            return QStringList{r.device_name, r.dns_host_name, r.mac_address};
        };
        const QStringList before{"workstation", "workstation", "0a:1b:2c:3d:4e:5f"};
        QCOMPARE(shown(false), before);
        system.host = QStringLiteral("renamed");
        system.address = QByteArray::fromHex("00aabbccddee");
        time += ComputerDetails::freshFor - std::chrono::milliseconds(1);
        QCOMPARE(shown(true), before);
        time += std::chrono::milliseconds(1);
        QCOMPARE(shown(true), (QStringList{"renamed", "renamed", "00:aa:bb:cc:dd:ee"}));
    }

    // LinuxSystemInfo's two file readers, each given the file's content.
    void linuxFiles_data()
    {
        QTest::addColumn<bool>("routeTable"); // else machine-info
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<std::optional<QString>>("name");

        const QByteArray header =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        const QByteArray wlan0Up =
            "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n";
        const QByteArray subnet = "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
        QTest::newRow("lowest metric wins")
            << true
            << header + wlan0Up + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n" +
                   subnet
            << std::optional<QString>("eth0");
        QTest::newRow("route that is down is skipped")
            << true
            << header + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n" + wlan0Up
            << std::optional<QString>("wlan0");
        QTest::newRow("no default route") << true << header + subnet << std::optional<QString>();
        QTest::newRow("garbage route table")
            << true << QByteArray("nonsense\n\n\t\t\n") << std::optional<QString>();

        QTest::newRow("double quoted")
            << false << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ana's \\\"Book\\\"\"\n")
            << std::optional<QString>("Ana's \"Book\"");
        QTest::newRow("single quoted") << false << QByteArray("PRETTY_HOSTNAME='Den PC'\n")
                                       << std::optional<QString>("Den PC");
        QTest::newRow("bare") << false << QByteArray("PRETTY_HOSTNAME=box\n")
                              << std::optional<QString>("box");
        QTest::newRow("no pretty name")
            << false << QByteArray("CHASSIS=desktop\n") << std::optional<QString>();
        QTest::newRow("empty pretty name")
            << false << QByteArray("PRETTY_HOSTNAME=\n") << std::optional<QString>();
    }

    void linuxFiles()
    {
        QFETCH(bool, routeTable);
        QFETCH(QByteArray, content);
        QFETCH(std::optional<QString>, name);
        const QString path = directory.filePath(QStringLiteral("fixture"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
        file.close();
        LinuxSystemInfo info(path, path);
        QCOMPARE(routeTable ? info.defaultRouteInterface() : info.prettyHostName(), name);
    }

    void thisMachine()
    {
        LinuxSystemInfo info;
        utsname names{};
        QCOMPARE(::uname(&names), 0);
        QCOMPARE(info.kernelRelease(), QString::fromUtf8(names.release));
        const ComputerDetails real(info, *preferences, capture.log);
        QVERIFY(real.systemDescription().contains(
            QRegularExpression(QStringLiteral("^Linux - \\d+\\.\\d+\\.\\d+$"))));
        QVERIFY(!real.computerName().isEmpty());
        const QString mac = real.getMACAddress();
        QVERIFY2(
            mac == QLatin1String("Unknown") ||
                mac.contains(QRegularExpression(QStringLiteral("^([0-9a-f]{2}:){5}[0-9a-f]{2}$"))),
            qPrintable(mac));
    }
};

QTEST_GUILESS_MAIN(TestComputerDetails)
#include "tst_computerdetails.moc"

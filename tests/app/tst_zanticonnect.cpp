#include "commanddatagram.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

using zc::test::commandDatagram;

namespace {

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

} // namespace

// The program as a user starts it, with its own settings folder and without a desktop session.
class TestZantiConnect : public QObject
{
    Q_OBJECT

    QTemporaryDir configHome;
    QProcess program;
    QByteArray output;
    quint16 port = 0;

    QByteArray readOutput()
    {
        output += program.readAllStandardOutput();
        return output;
    }

    static quint16 freeUdpPort()
    {
        QUdpSocket probe;
        return probe.bind(QHostAddress::Any, 0) ? probe.localPort() : 0;
    }

    void writeSettings(const QJsonObject &settings)
    {
        const QString directory = QDir(configHome.path()).filePath(QStringLiteral("zanti-connect"));
        QVERIFY(QDir().mkpath(directory));
        QFile file(QDir(directory).filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(settings).toJson());
    }

    void start(QJsonObject settings)
    {
        port = freeUdpPort();
        QVERIFY(port != 0);
        settings.insert(QStringLiteral("zanticonnect.serverUDPPort"), port);
        settings.insert(QStringLiteral("zanticonnect.serverTCPPort"), port);
        writeSettings(settings);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(ZANTI_CONNECT_PATH), {});
        QVERIFY(program.waitForStarted());
        QTRY_VERIFY(readOutput().contains(
            QStringLiteral("UDP server listening on port %1\n").arg(port).toUtf8()));
    }

    QByteArray discover(const QStringList &options)
    {
        QProcess remote;
        remote.start(QStringLiteral(ZANTI_REMOTE_PATH),
                     QStringList{"discover", "--timeout", "1000"} + options +
                         QStringList{QStringLiteral("127.0.0.1:%1").arg(port)});
        [&] {
            QVERIFY(remote.waitForFinished(10000));
            QCOMPARE(remote.exitCode(), 0);
        }();
        return remote.readAllStandardOutput();
    }

    void stop(int signal)
    {
        QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
        QVERIFY(program.waitForFinished(10000));
        readOutput();
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

private slots:
    void init()
    {
        QVERIFY(configHome.isValid());
        QDir(configHome.path()).removeRecursively();
        output.clear();
    }

    void cleanup()
    {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
    }

    void stopsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void stopsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        start({});

        QUdpSocket client;
        for (quint64 stamp = 1; stamp <= 3; ++stamp)
            client.writeDatagram(commandDatagram(stamp, "/keyboard?key=enter"),
                                 QHostAddress::LocalHost, port);
        QTRY_COMPARE(readOutput().count("For Mouse Controls\n"), 3);
        stop(signal);

        QCOMPARE(output.count("Mouse and keyboard input is unavailable: no graphical session"), 1);
        QVERIFY2(output.endsWith("0\ntrue\ntrue\n"), output.right(200).constData());
        QVERIFY(!output.contains("hunter2"));
        QVERIFY(program.readAllStandardError().isEmpty());
    }

    void discoveryAnswersAsTheSettingsSay()
    {
        // At start the program takes VLC's password and port from VLC's own file and tells
        // the phones those.
        const QString vlcrc = QDir(configHome.path()).filePath(QStringLiteral("vlc/vlcrc"));
        QVERIFY(QDir().mkpath(QFileInfo(vlcrc).absolutePath()));
        QFile vlcFile(vlcrc);
        QVERIFY(vlcFile.open(QIODevice::WriteOnly));
        vlcFile.write("extraintf=http\nhttp-password=4242\nhttp-port=8181\n");
        vlcFile.close();
        start({{"zanticonnect.isAuthenticationEnabled", "true"},
               {"zanticonnect.serverAuthenticationPassword", "open sesame"}});
        const QString settings =
            QDir(configHome.path())
                .filePath(QStringLiteral("zanti-connect/morvell.osx.zanticonnectgroup.json"));
        QTRY_VERIFY(readJson(settings).value(QStringLiteral("zanticonnect.VLCPort")).toInt() ==
                    8181);

        const QByteArray reduced = discover({"--password", "guess"});
        QVERIFY2(reduced.contains(R"("vlc_password":"")"), reduced.constData());
        QVERIFY(reduced.contains(R"("is_authentication_enabled":"true")"));

        const QByteArray full = discover({"--password", "open sesame"});
        QVERIFY2(full.contains(R"("vlc_password":"4242")"), full.constData());
        QVERIFY(full.contains(R"("vlc_port":"8181")"));
        QVERIFY(full.contains(QStringLiteral(R"("web_server_port":"%1")").arg(port).toUtf8()));
        stop(SIGTERM);
        QVERIFY(!output.contains("open sesame"));
        QVERIFY(!output.contains("4242"));
    }

    void commandsOverTcp()
    {
        start({});
        QVERIFY(readOutput().contains(
            QStringLiteral("listening on port Optional(%1)..").arg(port).toUtf8()));
        QProcess remote;
        remote.start(
            QStringLiteral(ZANTI_REMOTE_PATH),
            {"send", "--tcp", QStringLiteral("127.0.0.1:%1").arg(port), "/keyboard?key=enter"});
        QVERIFY(remote.waitForFinished(10000));
        QCOMPARE(remote.exitCode(), 0);
        QCOMPARE(remote.readAllStandardOutput().trimmed(), QByteArray("success"));
        QTRY_VERIFY(readOutput().contains("sent!\n"));
        stop(SIGTERM);
    }

    void startAtLoginFollowsTheSetting()
    {
        const QString entry =
            QDir(configHome.path()).filePath(QStringLiteral("autostart/zanti-connect.desktop"));
        start({});
        stop(SIGTERM);
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("Exec=" + QByteArray(ZANTI_CONNECT_PATH) + "\n"));

        output.clear();
        start({{"zanticonnect.autoStartWithSystem", "false"}});
        stop(SIGTERM);
        QVERIFY(!QFile::exists(entry));
    }
};

QTEST_GUILESS_MAIN(TestZantiConnect)
#include "tst_zanticonnect.moc"

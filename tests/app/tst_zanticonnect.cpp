#include "commanddatagram.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

using zc::test::commandDatagram;

// The program as a user starts it, with its own settings folder and without a desktop session.
class TestZantiConnect : public QObject
{
    Q_OBJECT

    QTemporaryDir configHome;
    QProcess program;
    QByteArray output;
    quint16 port = 0;

    static constexpr const char *settingsFile = "zanti-connect/morvell.osx.zanticonnectgroup.json";

    void writeConfig(const QString &name, const QByteArray &content)
    {
        const QString path = configHome.filePath(name);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
    }

    QByteArray readConfig(const QString &name)
    {
        QFile file(configHome.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray readOutput()
    {
        output += program.readAllStandardOutput();
        return output;
    }

    // Both servers on one free port, which the program announces once it serves.
    void start(QJsonObject settings)
    {
        // Free for both: a port free for UDP may still be some TCP connection's own.
        QTcpServer tcpProbe;
        QUdpSocket udpProbe;
        do {
            tcpProbe.close();
            QVERIFY(tcpProbe.listen(QHostAddress::Any, 0));
        } while (!udpProbe.bind(QHostAddress::Any, tcpProbe.serverPort()));
        port = tcpProbe.serverPort();
        QTcpServer webProbe;
        QVERIFY(webProbe.listen(QHostAddress::Any, 0));
        tcpProbe.close();
        udpProbe.close();
        settings.insert(QStringLiteral("zanticonnect.webServerPort"), webProbe.serverPort());
        webProbe.close();
        settings.insert(QStringLiteral("zanticonnect.serverUDPPort"), port);
        if (!settings.contains(QLatin1String("zanticonnect.serverTCPPort")))
            settings.insert(QStringLiteral("zanticonnect.serverTCPPort"), port);
        writeConfig(QLatin1String(settingsFile), QJsonDocument(settings).toJson());

        program.setProcessEnvironment(environment());
        program.start(QStringLiteral(ZANTI_CONNECT_PATH), {});
        QVERIFY(program.waitForStarted());
        output.clear();
        QTRY_VERIFY2(readOutput().contains(
                         QStringLiteral("UDP server listening on port %1\n").arg(port).toUtf8()),
                     output.left(400).constData());
    }

    QProcessEnvironment environment()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
        const QString runtime = configHome.filePath(QStringLiteral("run"));
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        // Whatever the program opens in the browser is written down instead.
        const QString bin = configHome.filePath(QStringLiteral("bin"));
        QDir().mkpath(bin);
        QFile opener(bin + QStringLiteral("/xdg-open"));
        if (opener.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
            opener.close();
            opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        environment.insert(QStringLiteral("PATH"),
                           bin + u':' + environment.value(QStringLiteral("PATH")));
        return environment;
    }

    // Runs zanti-connect once with `arguments` to its end, as the user would from a terminal.
    void runOnce(const QStringList &arguments, int expectedStatus, QByteArray &printed)
    {
        QProcess once;
        once.setProcessEnvironment(environment());
        once.start(QStringLiteral(ZANTI_CONNECT_PATH), arguments);
        QVERIFY(once.waitForFinished(10000));
        printed = once.readAllStandardOutput();
        QCOMPARE(once.exitCode(), expectedStatus);
    }

    // Runs zanti-remote against the program and returns what it printed.
    QByteArray remote(QStringList arguments, const QString &request = {})
    {
        arguments.append(QStringLiteral("127.0.0.1:%1").arg(port));
        if (!request.isEmpty())
            arguments.append(request);
        QProcess remote;
        remote.start(QStringLiteral(ZANTI_REMOTE_PATH), arguments);
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

        // Said once, not once per command.
        QCOMPARE(output.count("Mouse and keyboard input is unavailable: no graphical session"), 1);
        QCOMPARE(output.count("Update checks are off: this build names no update feed\n"), 1);
        // Headless, the input alert takes its default answer, and the launch goes on.
        QVERIFY(
            output.contains("cannot control the mouse and keyboard here: no graphical session"));
        QVERIFY(output.contains("\ncancel\n"));
        // VLC is on PATH here: no alert.
        QVERIFY(!output.contains("VLC is not installed."));
        // The lines of the orderly stop made it out before the exit.
        QVERIFY2(output.endsWith("0\ntrue\ntrue\n"), output.right(200).constData());
        QVERIFY(program.readAllStandardError().isEmpty());
    }

    void discoveryAndCommandsFollowTheSettings()
    {
        // At start the program takes VLC's password and port from VLC's own file and tells
        // the phones those.
        writeConfig(QStringLiteral("vlc/vlcrc"),
                    "extraintf=http\nhttp-password=4242\nhttp-port=8181\n");
        start({{"zanticonnect.isAuthenticationEnabled", "true"},
               {"zanticonnect.serverAuthenticationPassword", "open sesame"}});
        QTRY_COMPARE(QJsonDocument::fromJson(readConfig(QLatin1String(settingsFile)))
                         .object()
                         .value("zanticonnect.VLCPort"),
                     QJsonValue(8181));

        const QByteArray reduced = remote({"discover", "--timeout", "1000", "--password", "guess"});
        QVERIFY2(reduced.contains("\"vlc_password\":\"\""), reduced.constData());
        QVERIFY(reduced.contains("\"is_authentication_enabled\":\"true\""));

        const QByteArray full =
            remote({"discover", "--timeout", "1000", "--password", "open sesame"});
        QVERIFY2(full.contains("\"vlc_password\":\"4242\""), full.constData());
        QVERIFY(full.contains("\"vlc_port\":\"8181\""));
        QVERIFY(full.contains(QStringLiteral("\"web_server_port\":\"%1\"").arg(port).toUtf8()));

        QCOMPARE(remote({"send", "--tcp", "--password", "open sesame"}, "/keyboard?key=enter"),
                 QByteArray("success\n"));
        // Answered whatever the password; only the right one lets the command through.
        QTRY_VERIFY(readOutput().contains("sent!\n"));
        QVERIFY2(output.contains("[key=enter]\n"), output.right(300).constData());
        stop(SIGTERM);
        QVERIFY(!output.contains("open sesame"));
        QVERIFY(!output.contains("4242"));
    }

    // The phone connects where the reply says: the TCP port really in use, after another
    // program took the configured one.
    void discoveryNamesTheTCPPortInUse()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::Any, 0));
        start({{"zanticonnect.serverTCPPort", other.serverPort()}});
        QTRY_VERIFY(readOutput().contains("listening on port Optional("));
        const qsizetype at = output.indexOf("listening on port Optional(") + 27;
        const QByteArray inUse = output.mid(at, output.indexOf(')', at) - at);
        QVERIFY(inUse.toUShort() > other.serverPort());
        const QByteArray reply = remote({"discover", "--timeout", "1000"});
        QVERIFY2(reply.contains("\"tcp_server_port\":\"" + inUse + '"'), reply.constData());
        stop(SIGTERM);
    }

    void openSettingsOpensTheRunningPage()
    {
        QByteArray printed;
        runOnce({QStringLiteral("--open-settings")}, 1, printed);
        QVERIFY2(printed.contains("zanti-connect is not running"), printed.constData());

        start({});
        QTRY_VERIFY(readOutput().contains("Settings page at http://127.0.0.1:"));
        runOnce({QStringLiteral("--open-settings")}, 0, printed);
        const QByteArray address = readConfig(QStringLiteral("run/zanti-connect/settings-address"));
        QVERIFY(address.contains("/#key="));
        QTRY_COMPARE(readConfig(QStringLiteral("bin/opened")), address);
        stop(SIGTERM);
        // The key is for the browser only.
        QVERIFY(!output.contains(address.mid(address.indexOf("#key=") + 5, 64)));
        QVERIFY(!QFile::exists(
            configHome.filePath(QStringLiteral("run/zanti-connect/settings-address"))));

        // A copy that was killed leaves its lock and its socket behind: nobody answers there,
        // and the next copy takes them over.
        start({});
        program.kill();
        QVERIFY(program.waitForFinished());
        runOnce({QStringLiteral("--open-settings")}, 1, printed);
        QVERIFY2(printed.contains("zanti-connect is not running"), printed.constData());
        start({});
        runOnce({QStringLiteral("--open-settings")}, 0, printed);
        stop(SIGTERM);

        runOnce({QStringLiteral("--help")}, 0, printed);
        QVERIFY2(printed.contains("--open-settings"), printed.constData());
    }

    // Started again from the application menu, where there is no status item: the page of the
    // copy that runs is what the user came for.
    void secondCopyBringsTheFirstForward()
    {
        start({});
        QTRY_VERIFY(readOutput().contains("Settings page at http://127.0.0.1:"));
        QByteArray printed;
        runOnce({}, 1, printed);
        // Neither a server nor the settings it would serve on.
        QCOMPARE(printed, QByteArray("App is already running.\n"));

        const QByteArray address = readConfig(QStringLiteral("run/zanti-connect/settings-address"));
        QVERIFY(address.contains("/#key="));
        QTRY_COMPARE(readConfig(QStringLiteral("bin/opened")), address);
        const QByteArray reply = remote({"discover", "--timeout", "1000"});
        QVERIFY2(reply.contains(QStringLiteral("\"tcp_server_port\":\"%1\"").arg(port).toUtf8()),
                 reply.constData());
        stop(SIGTERM);
        QVERIFY(!output.contains("App is already running."));
        QVERIFY(!output.contains(address.mid(address.indexOf("#key=") + 5, 64)));
    }

    // The defaults have authentication off: serving on them would let any phone in.
    void refusesToServeWithoutItsSettings_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("file is a folder") << "folder" << QByteArray("it is a folder");
        QTest::newRow("link to nothing")
            << "dangling link" << QByteArray("it is a link to nothing");
    }

    void refusesToServeWithoutItsSettings()
    {
        QFETCH(QString, blocker);
        QFETCH(QByteArray, reason);
        const QString path = configHome.filePath(QLatin1String(settingsFile));
        if (blocker == "folder")
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()) &&
                    QFile::link(path + ".on-a-drive-not-mounted", path));
        program.setProcessEnvironment(environment());
        program.start(QStringLiteral(ZANTI_CONNECT_PATH), {});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        output = program.readAllStandardOutput();
        QVERIFY2(output.endsWith("Cannot serve commands: the settings file " + path.toUtf8() +
                                 " cannot be read (" + reason + ")\n"),
                 output.constData());
        QVERIFY(!output.contains("listening"));
        // Nor does it act on the defaults it would have taken, such as starting at login.
        QVERIFY(!QFile::exists(configHome.filePath("autostart")));
    }

    void startAtLoginFollowsTheSetting()
    {
        const QString entry = QStringLiteral("autostart/zanti-connect.desktop");
        start({});
        stop(SIGTERM);
        QVERIFY(readConfig(entry).contains("Exec=" + QByteArray(ZANTI_CONNECT_PATH) + "\n"));

        start({{"zanticonnect.autoStartWithSystem", "false"}});
        stop(SIGTERM);
        QVERIFY(!QFile::exists(configHome.filePath(entry)));
    }
};

QTEST_GUILESS_MAIN(TestZantiConnect)
#include "tst_zanticonnect.moc"

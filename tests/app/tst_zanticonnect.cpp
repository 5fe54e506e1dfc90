#include "commanddatagram.h"

#include <QProcess>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

using zc::test::commandDatagram;

namespace {

constexpr quint16 commandPort = 5916;

} // namespace

// The program as a user starts it: on the command port, without a desktop session.
class TestZantiConnect : public QObject
{
    Q_OBJECT

private slots:
    void stopsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void stopsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        {
            QUdpSocket probe;
            if (!probe.bind(QHostAddress::Any, commandPort, QAbstractSocket::DontShareAddress))
                QSKIP("another program holds UDP port 5916");
        }

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        program.setProcessEnvironment(environment);
        program.start(ZANTI_CONNECT_PATH);
        QVERIFY(program.waitForStarted());

        QByteArray output;
        auto readOutput = [&] {
            output += program.readAllStandardOutput();
            return output;
        };
        QTRY_VERIFY(readOutput().contains("UDP server listening on port 5916\n"));

        QUdpSocket client;
        for (quint64 stamp = 1; stamp <= 3; ++stamp)
            client.writeDatagram(commandDatagram(stamp, "/keyboard?key=enter"),
                                 QHostAddress::LocalHost, commandPort);
        QTRY_COMPARE(readOutput().count("For Mouse Controls\n"), 3);

        QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
        QVERIFY(program.waitForFinished(10000));
        readOutput();
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);

        QCOMPARE(output.count("Mouse and keyboard input is unavailable: no graphical session"), 1);
        QVERIFY2(output.endsWith("0\ntrue\ntrue\n"), output.right(200).constData());
        QVERIFY(!output.contains("hunter2"));
        QVERIFY(program.readAllStandardError().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestZantiConnect)
#include "tst_zanticonnect.moc"

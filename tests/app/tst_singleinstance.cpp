#include "logcapture.h"
#include "singleinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <optional>

using zc::SingleInstance;
using zc::test::LogCapture;

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir base;
    QString folder;

    static constexpr QFile::Permissions ownerOnly =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

    // Asks from a thread of its own: the asker blocks, and the first copy answers from this
    // thread's event loop.
    bool askWhileServing()
    {
        LogCapture askerLog;
        auto asked = std::async(std::launch::async,
                                [&] { return SingleInstance::askFirstCopy(folder, askerLog.log); });
        [&] {
            QTRY_VERIFY(asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
        }();
        const bool delivered = asked.get();
        if (!delivered)
            qWarning() << askerLog.lines();
        return delivered;
    }

private slots:
    void init()
    {
        QVERIFY(base.isValid());
        folder = base.filePath(QStringLiteral("zanti-connect"));
        QDir(folder).removeRecursively();
    }

    void onlyOneCopyHoldsTheFolder()
    {
        LogCapture capture;
        QVERIFY(!SingleInstance::askFirstCopy(folder, capture.log));
        std::optional<SingleInstance> first(std::in_place, folder, capture.log);
        QVERIFY(first->claim());
        SingleInstance second(folder, capture.log);
        QVERIFY(!second.claim());

        // Nobody else may make this user's browser open pages.
        QCOMPARE(QFile::permissions(folder) &
                     ~QFile::Permissions(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 ownerOnly);
        const QFile::Permissions socket = QFile::permissions(folder + "/instance.socket");
        QVERIFY(socket & QFile::WriteOwner);
        QCOMPARE(socket &
                     (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());

        first.reset();
        QVERIFY(second.claim());
        QVERIFY(askWhileServing());
        QCOMPARE(capture.lines(), QStringList());
    }

    // A copy that was killed leaves its lock and its socket behind.
    void takesOverFromACopyThatDied()
    {
        QProcess gone;
        gone.start(QStringLiteral("true"), {});
        QVERIFY(gone.waitForStarted());
        const qint64 pid = gone.processId();
        QVERIFY(gone.waitForFinished());
        QVERIFY(QDir().mkpath(folder));
        QFile lock(folder + "/instance.lock");
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(pid) + '\n' + QCoreApplication::applicationName().toUtf8() +
                   '\n' + QSysInfo::machineHostName().toUtf8() + '\n');
        lock.close();
        QFile socket(folder + "/instance.socket");
        QVERIFY(socket.open(QIODevice::WriteOnly));
        socket.close();

        LogCapture capture;
        SingleInstance instance(folder, capture.log);
        int calls = 0;
        instance.setComeForwardRequested([&] { ++calls; });
        QVERIFY(instance.claim());
        QVERIFY(askWhileServing());
        QCOMPARE(calls, 1);
        QCOMPARE(capture.lines(), QStringList());
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("logged");
        QTest::newRow("come forward") << QByteArray("come-forward\n") << QString();
        QTest::newRow("unknown line")
            << QByteArray("hello\r\n") << "Ignored a request from another copy: hello";
        QTest::newRow("long line") << QByteArray(100, 'x') + '\n'
                                   << "Ignored a request from another copy: " + QString(64, 'x');
        QTest::newRow("no end in sight")
            << QByteArray(65, 'x') << "Ignored a request from another copy: longer than 64 bytes";
        QTest::newRow("half a request")
            << QByteArray("come-for")
            << "Ignored a request from another copy: none came within 1000 ms";
        QTest::newRow("silence") << QByteArray()
                                 << "Ignored a request from another copy: none came within 1000 ms";
    }

    void requests()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, logged);
        LogCapture capture;
        SingleInstance instance(folder, capture.log, std::chrono::seconds(1));
        int calls = 0;
        instance.setComeForwardRequested([&] { ++calls; });
        QVERIFY(instance.claim());

        QLocalSocket client;
        QByteArray answer;
        connect(&client, &QLocalSocket::readyRead, this, [&] { answer += client.readAll(); });
        client.connectToServer(folder + "/instance.socket");
        QVERIFY(client.waitForConnected(3000));
        client.write(sent);
        // A copy that sends nothing useful holds up nobody meanwhile.
        QVERIFY(askWhileServing());
        if (logged.contains("none came"))
            QCOMPARE(client.state(), QLocalSocket::ConnectedState);

        QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(answer, QByteArray(logged.isEmpty() ? "ok\n" : ""));
        QCOMPARE(calls, logged.isEmpty() ? 2 : 1);
        QCOMPARE(capture.lines(), logged.isEmpty() ? QStringList() : QStringList{logged});
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"

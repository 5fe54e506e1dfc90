#include "logcapture.h"
#include "singleinstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <future>

using zc::SingleInstance;
using zc::test::LogCapture;

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    // What a connecting copy sends, and the line the first copy logs when it ignores that.
    void requests_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("logged");
        const QString ignored = QStringLiteral("Ignored a request from another copy: ");
        QTest::newRow("come forward") << QByteArray("come-forward\n") << QString();
        QTest::newRow("unknown line") << QByteArray("hello\r\n") << ignored + "hello";
        QTest::newRow("long line") << QByteArray(100, 'x') + '\n' << ignored + QString(64, 'x');
        QTest::newRow("no end in sight") << QByteArray(65, 'x') << ignored + "longer than 64 bytes";
        QTest::newRow("half a request")
            << QByteArray("come-for") << ignored + "none came within 1000 ms";
        QTest::newRow("silence") << QByteArray() << ignored + "none came within 1000 ms";
    }

    void requests()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, logged);
        QTemporaryDir base;
        const QString folder = base.filePath(QStringLiteral("zanti-connect"));
        LogCapture capture;
        SingleInstance first(folder, capture.log, std::chrono::seconds(1));
        int calls = 0;
        first.setComeForwardRequested([&] { ++calls; });
        QVERIFY(first.claim());
        QVERIFY(!SingleInstance(folder, capture.log).claim());
        // Whoever reaches the socket can make this user's browser open pages.
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFile::permissions(folder) & others, QFile::Permissions());
        QCOMPARE(QFile::permissions(folder + "/instance.socket") & others, QFile::Permissions());

        QLocalSocket client;
        QByteArray answer;
        connect(&client, &QLocalSocket::readyRead, this, [&] { answer += client.readAll(); });
        client.connectToServer(folder + "/instance.socket");
        QVERIFY(client.waitForConnected(3000));
        client.write(sent);
        // The asker blocks, so it asks from a thread of its own while this one serves; the
        // copy that sends nothing useful holds it up meanwhile.
        LogCapture askerLog;
        auto asked = std::async(std::launch::async,
                                [&] { return SingleInstance::askFirstCopy(folder, askerLog.log); });
        QTRY_VERIFY(asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
        QVERIFY(asked.get());
        QCOMPARE(askerLog.lines(), QStringList());
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

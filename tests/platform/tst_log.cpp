#include "log.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <limits>

using namespace zc;

class TestLog : public QObject
{
    Q_OBJECT

    std::string written;
    int writes = 0;
    Log::Sink sink()
    {
        return [this](std::string_view data) {
            written.append(data);
            ++writes;
        };
    }

private slots:
    void init()
    {
        written.clear();
        writes = 0;
    }

    void items_data()
    {
        QTest::addColumn<QString>("expected");
        QTest::addColumn<std::function<void(Log &)>>("write");

        QTest::newRow("items joined by one space")
            << "a 1 -2 true false" << std::function<void(Log &)>([](Log &log) {
                   log.line("a", 1, std::int64_t(-2), true, false);
               });
        QTest::newRow("texts of every kind")
            << "x y z é" << std::function<void(Log &)>([](Log &log) {
                   log.line(QStringLiteral("x"), QByteArray("y"), QLatin1String("z"),
                            QStringLiteral("é"));
               });
        QTest::newRow("item ending in a blank keeps it")
            << "mouseLoc  (1.0, 2.0)"
            << std::function<void(Log &)>([](Log &log) { log.line("mouseLoc ", "(1.0, 2.0)"); });
        QTest::newRow("whole and fractional doubles")
            << "100.0 0.5 -3.25 1e+21"
            << std::function<void(Log &)>([](Log &log) { log.line(100.0, 0.5, -3.25, 1e21); });
        QTest::newRow("unsigned 64-bit")
            << "18446744073709551615" << std::function<void(Log &)>([](Log &log) {
                   log.line(std::numeric_limits<std::uint64_t>::max());
               });
        QTest::newRow("line breaks and controls are escaped")
            << "a\\nb\\r\\tc\\x1b[31m\\x7f"
            << std::function<void(Log &)>([](Log &log) { log.line("a\nb\r\tc\x1b[31m\x7f"); });
        QTest::newRow("empty line")
            << "" << std::function<void(Log &)>([](Log &log) { log.line(QString()); });
    }

    void items()
    {
        QFETCH(QString, expected);
        QFETCH(std::function<void(Log &)>, write);
        {
            Log log(sink());
            write(log);
        }
        QCOMPARE(QString::fromStdString(written), expected + u'\n');
    }

    void buffersUntilFlushed()
    {
        Log log(sink());
        for (int i = 0; i < 1000; ++i)
            log.line("line", i);
        QCOMPARE(writes, 0);
        log.flush();
        QCOMPARE(writes, 1);
        QCOMPARE(std::count(written.begin(), written.end(), '\n'), 1000);
    }

    void largeBurstIsWrittenInChunks()
    {
        Log log(sink());
        const std::string item(1000, 'x');
        for (int i = 0; i < 1000; ++i)
            log.line(item);
        QVERIFY(writes >= 10);
        log.flush();
        QCOMPARE(written.size(), std::size_t(1000 * 1001));
    }

    void flushesWhenTheEventLoopIsIdle()
    {
        Log log(sink());
        log.flushWhenIdle();
        // The loop has to wait for the second timer, and flushes before it does.
        QEventLoop loop;
        QTimer::singleShot(0, [&log] { log.line("from the loop"); });
        QTimer::singleShot(20, &loop, [&] {
            QCOMPARE(QString::fromStdString(written), QStringLiteral("from the loop\n"));
            loop.quit();
        });
        loop.exec();
        QCOMPARE(writes, 1);
    }

    void writesToAFileDescriptor()
    {
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        {
            Log log(fds[1]);
            log.line("to the pipe");
        }
        ::close(fds[1]);
        char buffer[64] = {};
        QCOMPARE(::read(fds[0], buffer, sizeof buffer), 12);
        ::close(fds[0]);
        QCOMPARE(QByteArray(buffer), QByteArray("to the pipe\n"));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"

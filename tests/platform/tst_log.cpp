#include "log.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <limits>

using namespace zc;

using Write = std::function<void(Log &)>;

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
        QTest::addColumn<Write>("write");

        QTest::newRow("numbers and switches, one space apart")
            << "a 1 -2 true false 18446744073709551615" << Write([](Log &log) {
                   log.line("a", 1, std::int64_t(-2), true, false,
                            std::numeric_limits<std::uint64_t>::max());
               });
        QTest::newRow("texts of every kind, Latin-1 as UTF-8")
            << "x y z é é" << Write([](Log &log) {
                   log.line(QStringLiteral("x"), QByteArray("y"), QLatin1String("z"),
                            QStringLiteral("é"), QLatin1String("\xe9"));
               });
        QTest::newRow("whole and fractional doubles")
            << "100.0 0.5 -3.25 1e+21"
            << Write([](Log &log) { log.line(100.0, 0.5, -3.25, 1e21); });
        // Text from the network must never forge a line or drive the terminal.
        QTest::newRow("line breaks and controls are escaped")
            << "a\\nb\\r\\tc\\x1b[31m\\x7f"
            << Write([](Log &log) { log.line("a\nb\r\tc\x1b[31m\x7f"); });
    }

    void items()
    {
        QFETCH(QString, expected);
        QFETCH(Write, write);
        Log log(sink());
        write(log);
        log.flush();
        QCOMPARE(QString::fromStdString(written), expected + u'\n');
    }

    // No system call per line, yet a burst never grows the buffer without bound or loses a line.
    void buffersAndWritesLargeBurstsInChunks()
    {
        Log log(sink());
        for (int i = 0; i < 100; ++i)
            log.line("line", i);
        QCOMPARE(writes, 0);
        const std::string item(1000, 'x');
        for (int i = 0; i < 1000; ++i)
            log.line(item);
        QVERIFY(writes >= 10);
        log.flush();
        QCOMPARE(std::count(written.begin(), written.end(), '\n'), 1100);
        QCOMPARE(written.size(), std::size_t(1000 * 1001 + 90 * 8 + 10 * 7));
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
        Log(fds[1]).line("to the pipe");
        ::close(fds[1]);
        char buffer[64] = {};
        QCOMPARE(::read(fds[0], buffer, sizeof buffer), 12);
        ::close(fds[0]);
        QCOMPARE(QByteArray(buffer), QByteArray("to the pipe\n"));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"

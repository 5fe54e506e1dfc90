#include "log.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <QScopeGuard>

#include <atomic>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace zc;

using Write = std::function<void(Log &)>;

class TestLog : public QObject
{
    Q_OBJECT

    std::string written;
    int writes = 0;
    // Long enough for the loop to wait, so that its dispatcher signals aboutToBlock.
    static void turnEventLoop()
    {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }

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
        // NEL breaks lines and CSI starts escape sequences in some terminals. Escapes stand for
        // bytes, so a code point shows as one \xHH per byte of its UTF-8.
        QTest::newRow("C1 controls in texts are escaped")
            << "\\xc2\\x85a\\xc2\\x9b31m\\xc2\\x80 \\xc2\\x9f \\xc2\\x85" << Write([](Log &log) {
                   log.line(QStringLiteral("\u0085a\u009b31m\u0080"), QString(QChar(0x9f)),
                            QLatin1String("\x85"));
               });
        QTest::newRow("C1 controls in UTF-8 bytes are escaped")
            << "a\\xc2\\x85z \\xc2\\x9b[31m"
            << Write([](Log &log) { log.line(QByteArray("a\xc2\x85z"), "\xc2\x9b[31m"); });
        QTest::newRow("line and paragraph separators are escaped, their neighbours kept")
            << "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9c \\xe2\\x80\\xa8 ‧‰" << Write([](Log &log) {
                   log.line(QStringLiteral("a\u2028b\u2029c"), QByteArray("\xe2\x80\xa8"),
                            QStringLiteral("\u2027\u2030"));
               });
        QTest::newRow("a lone CSI byte is escaped")
            << "a\\x9b[31mz" << Write([](Log &log) { log.line("a\x9b[31mz"); });
        QTest::newRow("stray continuation and lead bytes are escaped")
            << "é\\x80 \\xc3z \\xff\\xfe \\xf5\\x80\\x80\\x80"
            << Write([](Log &log) { log.line("é\x80", "\xc3z", "\xff\xfe", "\xf5\x80\x80\x80"); });
        QTest::newRow("truncated sequences at the end are escaped")
            << "ok\\xe2\\x82 ok\\xf0\\x9f\\x98 \\xc3" << Write([](Log &log) {
                   log.line(QByteArray("ok\xe2\x82"), std::string("ok\xf0\x9f\x98"), "\xc3");
               });
        QTest::newRow("overlong encodings are escaped")
            << "\\xc0\\x80 \\xc1\\xbf \\xe0\\x80\\xaf \\xe0\\x9f\\xbf \\xf0\\x8f\\xbf\\xbf"
            << Write([](Log &log) {
                   log.line(QByteArray("\xc0\x80"), "\xc1\xbf", "\xe0\x80\xaf", "\xe0\x9f\xbf",
                            "\xf0\x8f\xbf\xbf");
               });
        QTest::newRow("surrogates and code points above U+10FFFF are escaped")
            << "\\xed\\xa0\\x80 \\xed\\xbf\\xbf \\xf4\\x90\\x80\\x80" << Write([](Log &log) {
                   log.line(QByteArray("\xed\xa0\x80"), "\xed\xbf\xbf", "\xf4\x90\x80\x80");
               });
        // U+00A0, U+07FF, U+0800, U+D7FF, U+E000, U+FFFD, U+10000 and U+10FFFF: the edges of
        // the valid ranges.
        const QString text =
            QStringLiteral("é € 😀 漢字 \u00a0\u07ff\u0800\ud7ff\ue000\ufffd\U00010000\U0010ffff");
        QTest::newRow("valid text of any length is kept")
            << text + u' ' + text << Write([text](Log &log) { log.line(text, text.toUtf8()); });
        // A flood must not become a log of its size; a cut never splits a character.
        const QString tooLong = QString(Log::maximumItem - 1, u'x') + QStringLiteral("éé");
        QTest::newRow("a long item is cut, with its full length")
            << tooLong.left(Log::maximumItem - 1) + QStringLiteral("... (8195 bytes in all) 5")
            << Write([tooLong](Log &log) { log.line(tooLong, 5); });
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

    // The event dispatcher outlives the log: its idle signal must not reach a log that is gone,
    // even when a new one stands in the same memory, where a stale call shows as a write.
    void logInTheMemoryOfADestroyedOneIsNotFlushedForIt()
    {
        std::optional<Log> log;
        log.emplace(sink());
        log->flushWhenIdle();
        log.reset();
        log.emplace(sink());
        log->line("buffered");
        turnEventLoop();
        QCOMPARE(writes, 0);
    }

    // A reader that has stopped (a paused terminal, a full pipe) must never stop the program:
    // lines beyond the bound are dropped, and counted once the output moves again.
    void neverWaitsForAStalledOutput()
    {
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        std::optional<Log> log;
        log.emplace(fds[1]);
        log->flushWhenIdle();
        constexpr int lines = 30000;
        const std::string item(100, 'x');
        std::atomic<bool> done = false;
        std::thread writer([&] {
            for (int i = 0; i < lines; ++i)
                log->line(i, item);
            done = true;
        });
        std::string read;
        // Turns the event loop as the program's own does, waiting when idle.
        const auto drain = [&] {
            turnEventLoop();
            char buffer[65536];
            for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                read.append(buffer, std::size_t(n));
        };
        // Reads what blocks the writer if it fails, so that it can end.
        const auto cleanup = qScopeGuard([&] {
            ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
            while (!done)
                drain();
            drain();
            writer.join();
            log.reset();
            ::close(fds[0]);
            ::close(fds[1]);
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        QVERIFY(read.empty());
        // Now the reader takes the backlog, and the event loop writes the rest when it can.
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        QTRY_VERIFY((drain(), read.find("dropped") != std::string::npos));
        log->line("after");
        QTRY_VERIFY((drain(), read.ends_with("after\n")));
        // The lines up to the bound, in order, the count of the others, then the new line.
        const QStringList out = QString::fromStdString(read).split(u'\n');
        const qsizetype kept = out.size() - 3;
        QVERIFY(kept > 0 && std::size_t(kept) * item.size() < 2 * Log::maximumBuffered);
        for (qsizetype i = 0; i < kept; ++i)
            QCOMPARE(out[i], QString::number(i) + u' ' + QString::fromStdString(item));
        QCOMPARE(out.mid(kept), (QStringList{QStringLiteral("%1 log lines dropped: the output took "
                                                            "no more")
                                                 .arg(lines - kept),
                                             "after", ""}));
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

// The in-process cost of one command: decodeDatagram, the time-stamp rule, the dispatcher and
// the executor, on a desktop that does nothing, with the log going to a file.

#include "commandmessage.h"
#include "iinputevents.h"
#include "ipoweractions.h"
#include "itextinput.h"
#include "iworkspace.h"
#include "log.h"
#include "nulldesktop.h"
#include "requesthandler.h"
#include "requestquery.h"
#include "zantipreferences.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// A command datagram whose 13-digit "sentTime" (milliseconds since the epoch, as a phone sends
// it) is rewritten in place before every send, so that every message passes the stamp rule.
class Datagram
{
public:
    explicit Datagram(std::string_view request)
    {
        m_text = R"({"appAuthenticationKey":"Q7w4R#2k81M5T!x09P3Z","password":"","sentTime":")";
        m_stampAt = m_text.size();
        m_text += "0000000000000";
        m_text += R"(","request":")";
        m_text += request;
        m_text += R"("})";
    }

    QByteArrayView withStamp(std::uint64_t stamp)
    {
        for (std::size_t i = m_stampAt + stampDigits; i-- > m_stampAt; stamp /= 10)
            m_text[i] = char('0' + stamp % 10);
        return QByteArrayView(m_text.data(), qsizetype(m_text.size()));
    }

private:
    static constexpr std::size_t stampDigits = 13;
    std::string m_text;
    std::size_t m_stampAt = 0;
};

// Where the log goes: a regular file under /tmp, emptied before each run, or /dev/null.
enum class LogTarget
{
    TmpFile,
    DevNull
};

void commandPath(benchmark::State &state, std::string_view request, LogTarget target)
{
    const char *path =
        target == LogTarget::TmpFile ? "/tmp/zc-bench-command-path.log" : "/dev/null";
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    {
        zc::Log log(fd);
        zc::bench::NullDesktop desktop;
        QTemporaryDir settingsDirectory;
        zc::ZantiPreferences preferences(settingsDirectory.path(), log);
        zc::RequestHandler handler(desktop, desktop, desktop, desktop, preferences, log);
        Datagram datagram(request);
        std::uint64_t stamp = 1733400000000;

        for (auto _ : state) {
            const zc::DecodedDatagram decoded =
                zc::decodeDatagram(datagram.withStamp(++stamp), log);
            if (decoded.kind == zc::DecodedDatagram::Kind::CommandMessage)
                handler.processMessage(decoded.message);
        }
        if (handler.sentTime() != stamp)
            state.SkipWithError("the last command did not pass the stamp rule");
        state.SetItemsProcessed(state.iterations());
    }
    ::close(fd);
    if (target == LogTarget::TmpFile)
        ::unlink(path);
}

// Two parts of the path on their own, to show where the time goes.
void decodeOnly(benchmark::State &state)
{
    zc::Log log([](std::string_view) {});
    Datagram datagram("/mouse?key=move_by&delta_x=5&delta_y=-3");
    std::uint64_t stamp = 1733400000000;
    for (auto _ : state)
        benchmark::DoNotOptimize(zc::decodeDatagram(datagram.withStamp(++stamp), log));
}

void requestQueryOnly(benchmark::State &state)
{
    const QString request = QStringLiteral("/mouse?key=move_by&delta_x=5&delta_y=-3");
    for (auto _ : state)
        benchmark::DoNotOptimize(zc::RequestQuery(request));
}

struct Row
{
    const char *name;
    const char *request;
};

constexpr Row rows[] = {
    {"mouse_move_by", "/mouse?key=move_by&delta_x=5&delta_y=-3"},
    {"mouse_left_click", "/mouse?key=left_button_click"},
    {"keyboard_enter", "/keyboard?key=enter"},
    {"keyboard_textinput", "/keyboard?key=textinput&value=hello%20world"},
    {"unknown_command", "/mouse?key=no_such_command"},
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (const auto &[target, suffix] : {std::pair{LogTarget::TmpFile, "/log:tmpfile"},
                                         std::pair{LogTarget::DevNull, "/log:devnull"}}) {
        for (const Row &row : rows) {
            benchmark::RegisterBenchmark((std::string(row.name) + suffix).c_str(), commandPath,
                                         std::string_view(row.request), target)
                ->Unit(benchmark::kMicrosecond)
                ->MinTime(0.2)
                ->Repetitions(9)
                ->ReportAggregatesOnly(true);
        }
    }
    using Function = void (*)(benchmark::State &);
    for (const auto &[name, function] :
         {std::pair<const char *, Function>{"part/decodeDatagram", decodeOnly},
          std::pair<const char *, Function>{"part/RequestQuery", requestQueryOnly}}) {
        benchmark::RegisterBenchmark(name, function)
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.2)
            ->Repetitions(9)
            ->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

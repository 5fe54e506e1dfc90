// The bytes of one TCP connection through the stream framing, the log's password masking and
// the command path, as the TCP server runs them, with a recording desktop in place of the real one.
//
// The input's first byte gives how many cuts follow as two bytes each; the rest is the stream.
// Read whole and read in the pieces between the cuts, the stream must give the same messages,
// the same desktop calls, the same log lines for its messages and, put together, the same masked
// text of its reads. And no password may show in the log in clear: the stream also runs as a
// copy whose password values have every letter changed, and password text in the first log that
// the second lacks can only have come from a password.

#include "commandmessage.h"
#include "log.h"
#include "messagestream.h"
#include "passwordscanner.h"
#include "recordingdesktop.h"
#include "requesthandler.h"
#include "secretmask.h"
#include "zantipreferences.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zc::fuzz::disguised;
using zc::fuzz::PasswordScanner;
using zc::fuzz::Span;

struct Outcome
{
    std::string masked; // the masked text of the reads, put together
    std::string log;    // the lines for the messages
    QStringList frames;
    QStringList calls;
    bool overflow = false;
};

// A handler, a desktop, a stream and a masker built afresh for every run.
struct Pipeline
{
    std::string text;
    zc::Log log{[this](std::string_view data) { text.append(data); }};
    zc::ZantiPreferences *preferences;

    explicit Pipeline(zc::ZantiPreferences *shared) : preferences(shared) {}

    Outcome run(const std::vector<std::string_view> &reads)
    {
        text.clear();
        Outcome outcome;
        zc::test::RecordingDesktop desktop;
        zc::RequestHandler handler(desktop, desktop, desktop, desktop, *preferences, log);
        zc::MessageStream stream;
        zc::PasswordMasker masker;
        for (const std::string_view read : reads) {
            const QByteArrayView bytes(read.data(), qsizetype(read.size()));
            outcome.masked += masker.feed(bytes).toStdString();
            stream.append(bytes);
            while (const std::optional<zc::MessageStream::Frame> frame = stream.next())
                handle(*frame, handler, outcome);
        }
        outcome.masked += masker.finish().toStdString();
        // Button presses are queued behind the request; let them reach the desktop.
        QCoreApplication::processEvents();
        log.flush();
        outcome.log = text;
        outcome.calls = desktop.calls;
        return outcome;
    }

    void handle(const zc::MessageStream::Frame &frame, zc::RequestHandler &handler,
                Outcome &outcome)
    {
        using Kind = zc::MessageStream::Frame::Kind;
        switch (frame.kind) {
        case Kind::Garbage:
            // Reads cut garbage into runs of their own, and only its place counts.
            if (outcome.frames.isEmpty() || outcome.frames.last() != QLatin1String("garbage"))
                outcome.frames.append(QStringLiteral("garbage"));
            return;
        case Kind::Overflow:
            outcome.frames.append(QStringLiteral("overflow"));
            outcome.overflow = true;
            return;
        case Kind::Text:
            break;
        }
        outcome.frames.append(QString::fromLatin1(frame.bytes.toBase64()));
        const std::optional<QJsonValue> value =
            zc::isUtf8(frame.bytes) ? zc::parseJsonValue(frame.bytes) : std::nullopt;
        if (!value) {
            log.line("Tcp Server json error");
            return;
        }
        if (!value->isObject())
            return;
        log.line(
            zc::maskPasswords(QJsonDocument(value->toObject()).toJson(QJsonDocument::Compact)));
        handler.processMessage(value->toObject());
    }
};

struct Fixture
{
    int argc = 1;
    char name[16] = "fuzz_stream";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    QTemporaryDir settingsDirectory;
    zc::Log settingsLog{[](std::string_view) {}};
    zc::ZantiPreferences preferences{settingsDirectory.path(), settingsLog};
    Pipeline pipeline{&preferences};
    std::string escaped;
    zc::Log escaper{[this](std::string_view data) { escaped.append(data); }};
};

Fixture *fixture = nullptr;

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    __builtin_trap();
}

// Numbers differ between a text and its copy without passwords (lengths in notes), so they do
// not count when the two logs are compared.
std::string withoutNumbers(const std::string &text)
{
    static const QRegularExpression digits(QStringLiteral("[0-9]+"));
    return QString::fromStdString(text).replace(digits, QStringLiteral("#")).toStdString();
}

// The password texts of the stream's messages, as they would show in the log unmasked.
std::vector<std::string> needles(Fixture &f, std::string_view stream,
                                 const std::vector<Span> &spans)
{
    std::vector<std::string> found;
    for (const auto &[start, end] : spans) {
        const std::string_view content = stream.substr(start, end - start);
        const QByteArray wrapped =
            "[\"" + QByteArray(content.data(), qsizetype(content.size())) + "\"]";
        const QString password = QJsonDocument::fromJson(wrapped).array().at(0).toString();
        f.escaped.clear();
        f.escaper.line(password);
        f.escaper.flush();
        f.escaped.pop_back();
        for (const std::string &text : {password.toStdString(), f.escaped, std::string(content)}) {
            const std::string needle = withoutNumbers(text);
            if (std::count_if(needle.begin(), needle.end(), [](char c) { return c != '#'; }) >= 3)
                found.push_back(needle);
        }
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fixture = new Fixture;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Fixture &f = *fixture;
    if (size == 0)
        return 0;
    const std::size_t cutCount = std::min<std::size_t>(data[0] % 8, (size - 1) / 2);
    const std::size_t header = 1 + 2 * cutCount;
    const std::string_view stream(reinterpret_cast<const char *>(data) + header, size - header);
    std::vector<std::size_t> cuts{0, stream.size()};
    for (std::size_t i = 0; i < cutCount; ++i)
        cuts.push_back((data[1 + 2 * i] | std::size_t(data[2 + 2 * i]) << 8) % (stream.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::string_view> pieces;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
        pieces.push_back(stream.substr(cuts[i], cuts[i + 1] - cuts[i]));

    const Outcome whole = f.pipeline.run({stream});
    const Outcome cut = f.pipeline.run(pieces);
    if (cut.masked != whole.masked)
        fail("The reads' masked text depends on how they are cut:",
             whole.masked + "\n--\n" + cut.masked);
    if (cut.frames != whole.frames)
        fail("The messages depend on how the reads are cut:",
             (whole.frames.join(u' ') + u'\n' + cut.frames.join(u' ')).toStdString());
    if (cut.log != whole.log || cut.calls != whole.calls)
        fail("The messages' log or calls depend on how the reads are cut:",
             whole.log + "--\n" + cut.log);

    // After a dropped text its place in the stream is unknown; the copy cannot be made then.
    if (whole.overflow)
        return 0;
    std::string twin;
    std::vector<Span> spans;
    std::size_t position = 0;
    std::size_t copied = 0;
    for (const QString &frame : whole.frames) {
        if (frame == QLatin1String("garbage"))
            continue;
        const QByteArray text = QByteArray::fromBase64(frame.toLatin1());
        const std::size_t start =
            stream.find(std::string_view(text.data(), std::size_t(text.size())), position);
        position = start + std::size_t(text.size());
        const std::optional<std::vector<Span>> found =
            PasswordScanner(stream.substr(start, std::size_t(text.size()))).scan();
        if (!found)
            continue;
        for (const auto &[from, to] : *found) {
            spans.emplace_back(start + from, start + to);
            twin.append(stream.substr(copied, start + from - copied));
            twin.append(disguised(stream.substr(start + from, to - from)));
            copied = start + to;
        }
    }
    if (spans.empty())
        return 0;
    twin.append(stream.substr(copied));
    const Outcome disguisedRun = f.pipeline.run({twin});
    const std::string shown = withoutNumbers(whole.masked + '\n' + whole.log);
    const std::string shownDisguised =
        withoutNumbers(disguisedRun.masked + '\n' + disguisedRun.log);
    for (const std::string &needle : needles(f, stream, spans)) {
        if (shown.find(needle) != std::string::npos &&
            shownDisguised.find(needle) == std::string::npos)
            fail("The log shows a password in clear:",
                 needle + "\n" + whole.masked + "\n" + whole.log);
    }
    return 0;
}

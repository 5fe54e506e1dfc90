// One UDP datagram's bytes through the whole command path: decodeDatagram, the time-stamp rule,
// the dispatcher and the executors, with a recording desktop in place of the real one.
//
// Besides the sanitizers, it checks two properties. A datagram replayed as it is never reaches
// the desktop a second time. And the log never shows a command message's password in clear: the
// datagram also runs through a second, identical pipeline as a copy whose password values have
// every letter changed, and if the first log contains the password but the second does not, the
// text can only have come from the password member.

#include "commandmessage.h"
#include "log.h"
#include "passwordscanner.h"
#include "recordingdesktop.h"
#include "requesthandler.h"
#include "zantipreferences.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using zc::fuzz::disguised;
using zc::fuzz::PasswordScanner;
using zc::fuzz::Span;

// A handler and a desktop built afresh for every input, so that an input's outcome never depends
// on the inputs before it (the stamp of the last message, a drag in progress, where the cursor
// went): libFuzzer can then replay any input it reports and get the same result.
struct Pipeline
{
    std::string text;
    zc::Log log{[this](std::string_view data) { text.append(data); }};
    std::optional<zc::test::RecordingDesktop> desktop;
    std::optional<zc::RequestHandler> handler;
    // Read-only here, so one set of default preferences serves every input.
    zc::ZantiPreferences *preferences;

    explicit Pipeline(zc::ZantiPreferences *shared) : preferences(shared) {}

    void start()
    {
        text.clear();
        handler.reset();
        desktop.emplace();
        handler.emplace(*desktop, *desktop, *desktop, *desktop, *preferences, log);
    }
    void run(std::string_view bytes)
    {
        const zc::DecodedDatagram decoded =
            zc::decodeDatagram(QByteArrayView(bytes.data(), qsizetype(bytes.size())), log);
        if (decoded.kind == zc::DecodedDatagram::Kind::CommandMessage)
            handler->processMessage(decoded.message);
        // Button presses are queued behind the request; let them reach the desktop.
        QCoreApplication::processEvents();
        log.flush();
    }
};

struct Fixture
{
    int argc = 1;
    char name[16] = "fuzz_datagram";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    QTemporaryDir settingsDirectory;
    zc::Log settingsLog{[](std::string_view) {}};
    zc::ZantiPreferences preferences{settingsDirectory.path(), settingsLog};
    Pipeline original{&preferences};
    Pipeline withoutPassword{&preferences};
    // The password as the log would show it when it is not masked.
    std::string escaped;
    zc::Log escaper{[this](std::string_view data) { escaped.append(data); }};
};

Fixture *fixture = nullptr;

std::string escapedForLog(Fixture &f, const QString &text)
{
    f.escaped.clear();
    f.escaper.line(text);
    f.escaper.flush();
    if (!f.escaped.empty() && f.escaped.back() == '\n')
        f.escaped.pop_back();
    return f.escaped;
}

// The password of a command message, when it is worth looking for in the log.
std::optional<QString> checkablePassword(QByteArrayView bytes)
{
    QByteArray wrapped("[");
    wrapped.append(bytes).append(']');
    const QJsonDocument document = QJsonDocument::fromJson(wrapped);
    if (!document.isArray() || document.array().size() != 1)
        return std::nullopt;
    const QJsonValue password = document.array().at(0).toObject().value(QLatin1String("password"));
    if (!password.isString() || password.toString().size() < 4)
        return std::nullopt;
    return password.toString();
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
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);

    // The twin datagram: identical but for the disguised password values.
    std::string twin(bytes);
    const std::optional<std::vector<Span>> spans = PasswordScanner(bytes).scan();
    if (spans) {
        for (const auto &[from, to] : *spans)
            twin.replace(from, to - from, disguised(bytes.substr(from, to - from)));
    }

    f.original.start();
    f.withoutPassword.start();
    f.original.run(bytes);
    f.withoutPassword.run(twin);

    if (spans && !spans->empty()) {
        if (const std::optional<QString> password = checkablePassword(bytes)) {
            for (const std::string &needle :
                 {password->toUtf8().toStdString(), escapedForLog(f, *password)}) {
                if (f.original.text.find(needle) != std::string::npos &&
                    f.withoutPassword.text.find(needle) == std::string::npos) {
                    std::fprintf(stderr, "The log shows the password \"%s\" in clear:\n%s\n",
                                 needle.c_str(), f.original.text.c_str());
                    __builtin_trap();
                }
            }
        }
    }

    // The same datagram again, as a replay would bring it: its stamp is no longer greater than
    // the last one, so it must not reach the desktop.
    f.original.desktop->calls.clear();
    f.original.run(bytes);
    if (!f.original.desktop->calls.isEmpty()) {
        std::fprintf(stderr, "A replayed datagram was executed again:\n%s\n",
                     qPrintable(f.original.desktop->calls.join(u'\n')));
        __builtin_trap();
    }
    return 0;
}

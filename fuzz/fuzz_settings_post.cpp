// A settings post's whole request text through the candidate-line search, the JSON parse and
// applySettings, on preferences in a temporary folder.
//
// Besides the sanitizers, it checks that a post changes only what the settings page may change:
// the keys outside that set keep their stored values, and no port is ever stored as 0.

#include "log.h"
#include "settingspost.h"
#include "zantipreferences.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Stored before every post; none of them may change.
const QByteArray untouchable = R"({
    "zanticonnect.webServerPort": 5915,
    "zanticonnect.addToWindowsStartUp": "false",
    "zanticonnect.somethingNew": [1, 2],
    "elsewhere.serverUDPPort": 7
})";

void fail(const char *what, const QJsonObject &stored)
{
    std::fprintf(stderr, "%s\n%s\n", what, QJsonDocument(stored).toJson().constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_settings_post";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    // Every applied member saves the file: on tmpfs that costs no disk flush.
    static QTemporaryDir directory((QFile::exists(QStringLiteral("/dev/shm"))
                                        ? QStringLiteral("/dev/shm")
                                        : QDir::tempPath()) +
                                   QStringLiteral("/fuzz_settings_post-XXXXXX"));
    static zc::Log log([](std::string_view) {});

    const QString path = directory.filePath(QStringLiteral("morvell.osx.zanticonnectgroup.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(untouchable) < 0)
        std::abort();
    file.close();

    {
        zc::ZantiPreferences preferences(directory.path(), log);
        const QString text =
            QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
        const zc::SettingsPost post = zc::findSettingsPost(text, log);
        if (post.settings)
            preferences.applySettings(*post.settings);
    }

    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    const QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject before = QJsonDocument::fromJson(untouchable).object();
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (stored.value(it.key()) != it.value())
            fail("a value the page may not change changed", stored);
    }
    for (const char *port :
         {"zanticonnect.serverUDPPort", "zanticonnect.serverTCPPort", "zanticonnect.VLCPort"}) {
        const QJsonValue value = stored.value(QLatin1String(port));
        if (!value.isUndefined() && (value.toInt() < 1 || value.toInt() > 65535))
            fail("a port outside 1 to 65535 was stored", stored);
    }
    return 0;
}

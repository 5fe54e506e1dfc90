#include "preferencesuite.h"

#include "log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace zc {

namespace {

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    const QByteArray bytes = device.readAll();
    if (bytes.trimmed().isEmpty())
        return true;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    map = document.object().toVariantMap();
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    const QByteArray bytes = QJsonDocument(QJsonObject::fromVariantMap(map)).toJson();
    return device.write(bytes) == bytes.size();
}

QSettings::Format jsonFormat()
{
    // Qt keeps registered formats for the life of the process; register ours once.
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson);
    return format;
}

} // namespace

PreferenceSuite::PreferenceSuite(const QString &directory, const QString &suiteName, Log &log)
    : m_path(QDir(directory).filePath(suiteName + QStringLiteral(".json"))), m_log(log)
{
    // Keep the user's unreadable file instead of overwriting it with the next save.
    keepUnreadableFileAside("using the defaults");
    open();
}

PreferenceSuite::~PreferenceSuite() = default;

void PreferenceSuite::open()
{
    // Made before the old one goes: QSettings objects on one file in one process share the
    // values not saved yet, which a failed save keeps for the next.
    m_settings = std::make_unique<QSettings>(m_path, jsonFormat());
    m_settings->setFallbacksEnabled(false);
}

bool PreferenceSuite::keepUnreadableFileAside(const char *consequence)
{
    QFile file(m_path);
    QSettings::SettingsMap ignored;
    // A file that cannot be opened is for QSettings to report.
    if (!file.open(QIODevice::ReadOnly) || readJson(file, ignored))
        return false;
    file.close();
    const QString aside = m_path + QStringLiteral(".corrupt-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (QFile::rename(m_path, aside))
        m_log.line("Preferences file", m_path, "is not a JSON object; kept as", aside, "and",
                   consequence);
    else
        m_log.line("Preferences file", m_path, "is not a JSON object and cannot be moved aside;",
                   consequence);
    return true;
}

void PreferenceSuite::restrictAccess()
{
    const QFileInfo file(m_path);
    const QString folder = file.absolutePath();
    if (!QFileInfo::exists(folder) && QDir().mkpath(QFileInfo(folder).absolutePath()))
        QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    if (!file.exists()) {
        // QSettings makes a file it creates readable by everyone; QSaveFile keeps the mode of an
        // existing one. An empty file reads as holding no values.
        QFile created(m_path);
        if (created.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly))
            created.close();
        return;
    }
    constexpr QFile::Permissions groupOrOthers = QFile::ReadGroup | QFile::WriteGroup |
                                                 QFile::ExeGroup | QFile::ReadOther |
                                                 QFile::WriteOther | QFile::ExeOther;
    if (file.isFile() && (file.permissions() & groupOrOthers))
        QFile::setPermissions(m_path, ownerOnly);
}

void PreferenceSuite::registerDefaults(const QVariantMap &defaults)
{
    m_defaults.insert(defaults);
}

QVariant PreferenceSuite::value(const QString &key) const
{
    const QVariant stored = m_settings->value(key);
    return stored.isValid() ? stored : m_defaults.value(key);
}

bool PreferenceSuite::contains(const QString &key) const
{
    return m_settings->contains(key);
}

QStringList PreferenceSuite::keys() const
{
    QStringList all = m_settings->allKeys();
    for (auto it = m_defaults.cbegin(); it != m_defaults.cend(); ++it) {
        if (!all.contains(it.key()))
            all.append(it.key());
    }
    return all;
}

void PreferenceSuite::setValue(const QString &key, const QVariant &value)
{
    // QSettings re-reads the file before it saves and writes back only what was set since: with
    // the file moved aside, every value held here has to be set again.
    if (keepUnreadableFileAside("saving the values in use")) {
        for (const QString &held : m_settings->allKeys())
            m_settings->setValue(held, m_settings->value(held));
    }
    restrictAccess();
    // QSettings never clears a failure it reported; only a new one can tell about this save.
    if (m_settings->status() != QSettings::NoError)
        open();
    m_settings->setValue(key, value);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        m_log.line("Cannot save the preferences file", m_path);
}

} // namespace zc

#include "preferencesuite.h"

#include "log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
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
    open();
    if (m_settings->status() != QSettings::FormatError)
        return;
    // Keep the user's unreadable file instead of overwriting it with the next save.
    m_settings.reset();
    const QString aside = m_path + QStringLiteral(".corrupt-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (QFile::rename(m_path, aside))
        m_log.line("Preferences file", m_path, "is not a JSON object; kept as", aside,
                   "and using the defaults");
    else
        m_log.line("Preferences file", m_path,
                   "is not a JSON object and cannot be moved aside; using the defaults");
    open();
}

PreferenceSuite::~PreferenceSuite() = default;

void PreferenceSuite::open()
{
    m_settings = std::make_unique<QSettings>(m_path, jsonFormat());
    m_settings->setFallbacksEnabled(false);
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

void PreferenceSuite::setValue(const QString &key, const QVariant &value)
{
    m_settings->setValue(key, value);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        m_log.line("Cannot save the preferences file", m_path);
}

} // namespace zc

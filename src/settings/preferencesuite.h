#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

namespace zc {

class Log;

// One named preference suite: a JSON file "<directory>/<suite>.json" holding one object from
// key to value. Values keep their JSON type. Defaults are registered in memory only and never
// written. Saves go through QSettings, which locks the file and replaces it atomically. The file
// holds passwords: its folder is created 0700 and the file kept 0600.
class PreferenceSuite
{
public:
    PreferenceSuite(const QString &directory, const QString &suiteName, Log &log);
    ~PreferenceSuite();
    PreferenceSuite(const PreferenceSuite &) = delete;
    PreferenceSuite &operator=(const PreferenceSuite &) = delete;

    void registerDefaults(const QVariantMap &defaults);
    // The stored value, else the registered default, else an invalid QVariant.
    QVariant value(const QString &key) const;
    bool contains(const QString &key) const;
    // Every key that resolves: stored ones and those with a registered default.
    QStringList keys() const;
    // Stores and saves at once; a failed save is logged, and the next save writes its value too.
    void setValue(const QString &key, const QVariant &value);

    QString filePath() const { return m_path; }

private:
    void open();
    // Renames a file that is not a JSON object to "<file>.corrupt-<time>" and logs it with
    // the consequence given; true when the file was unreadable.
    bool keepUnreadableFileAside(const char *consequence);
    void restrictAccess();

    QString m_path;
    QVariantMap m_defaults;
    std::unique_ptr<QSettings> m_settings;
    Log &m_log;
};

} // namespace zc

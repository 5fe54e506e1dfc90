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
// may hold passwords: its folder is created 0700 and the file kept 0600.
class PreferenceSuite
{
public:
    // No settings file a person or this program writes comes near; a larger one is kept aside
    // unread rather than parsed for minutes.
    static constexpr qint64 maximumFileSize = 1024 * 1024;

    PreferenceSuite(const QString &directory, const QString &suiteName, Log &log);
    ~PreferenceSuite();
    PreferenceSuite(const PreferenceSuite &) = delete;
    PreferenceSuite &operator=(const PreferenceSuite &) = delete;

    void registerDefaults(const QVariantMap &defaults);
    // The stored value, else the registered default, else an invalid QVariant.
    QVariant value(const QString &key) const;
    bool contains(const QString &key) const;
    // Stores and saves at once, or when the last Batch ends; a failed save is logged, and the
    // next save writes its value too.
    void setValue(const QString &key, const QVariant &value);

    // Values set while one exists are saved together when it ends: one write of the file, not
    // one per value.
    class Batch
    {
    public:
        explicit Batch(PreferenceSuite &suite) : m_suite(suite) { ++m_suite.m_batchDepth; }
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        PreferenceSuite &m_suite;
    };

    QString filePath() const { return m_path; }
    // Why the file, which exists, could not be read when the suite was loaded (it is a folder,
    // a link to nothing, not the user's to read...); empty when it was read or there was none.
    // The values are then the defaults, whatever the file holds.
    QString unreadableReason() const { return m_unreadableReason; }
    // Takes the file and its folder from other users when they may read them, saying so in one
    // line; for a suite that holds passwords, before anything is saved.
    void makePrivate();

private:
    void open();
    // Renames a file that is not a JSON object to "<file>.corrupt-<time>", or one larger than
    // maximumFileSize to "<file>.too-large-<time>", and logs it with the consequence given;
    // true when the file was set aside.
    bool keepUnusableFileAside(const char *consequence);
    void restrictAccess();

    void save();

    int m_batchDepth = 0;
    bool m_savePending = false;
    QString m_path;
    QString m_unreadableReason;
    QVariantMap m_defaults;
    std::unique_ptr<QSettings> m_settings;
    Log &m_log;
};

} // namespace zc

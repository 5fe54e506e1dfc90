#include "preferencesuite.h"

#include "log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace zc {

namespace {

constexpr QFile::Permissions groupOrOthers = QFile::ReadGroup | QFile::WriteGroup |
                                             QFile::ExeGroup | QFile::ReadOther |
                                             QFile::WriteOther | QFile::ExeOther;

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    // QSettings reads through here too, whenever the file changed: never a huge file.
    const QByteArray bytes = device.read(PreferenceSuite::maximumFileSize + 1);
    if (bytes.size() > PreferenceSuite::maximumFileSize)
        return false;
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

// Why an existing file cannot be read; empty when it can, or when there is none.
QString readProblem(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    if (::stat(name.constData(), &status) != 0) {
        const int error = errno;
        if (error != ENOENT)
            return QString::fromLocal8Bit(std::strerror(error));
        // stat follows links, so one that leads nowhere looks like no file at all.
        if (::lstat(name.constData(), &status) == 0)
            return QStringLiteral("it is a link to nothing");
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        if (::lstat(folder.constData(), &status) == 0 && ::stat(folder.constData(), &status) != 0)
            return QStringLiteral("its folder is a link to nothing");
        return {};
    }
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("it is a folder");
    if (!S_ISREG(status.st_mode))
        return QStringLiteral("it is not a regular file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    return {};
}

} // namespace

PreferenceSuite::PreferenceSuite(const QString &directory, const QString &suiteName, Log &log)
    : m_path(QDir(directory).filePath(suiteName + QStringLiteral(".json"))), m_log(log)
{
    m_unreadableReason = readProblem(m_path);
    if (!m_unreadableReason.isEmpty())
        m_log.line("Cannot read the preferences file", m_path + u':', m_unreadableReason);
    else
        // Keep the user's unusable file instead of overwriting it with the next save.
        keepUnusableFileAside("using the defaults");
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

bool PreferenceSuite::keepUnusableFileAside(const char *consequence)
{
    QFile file(m_path);
    // A file that cannot be opened is for QSettings to report.
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const bool tooLarge = file.size() > maximumFileSize;
    QSettings::SettingsMap ignored;
    if (!tooLarge && readJson(file, ignored))
        return false;
    file.close();
    const QString fault =
        tooLarge ? QStringLiteral("is larger than 1 MiB") : QStringLiteral("is not a JSON object");
    const QString aside = m_path + QLatin1String(tooLarge ? ".too-large-" : ".corrupt-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (QFile::rename(m_path, aside))
        m_log.line("Preferences file", m_path, fault + QStringLiteral("; kept as"), aside, "and",
                   consequence);
    else
        m_log.line("Preferences file", m_path, fault, "and cannot be moved aside;", consequence);
    return true;
}

void PreferenceSuite::restrictAccess()
{
    const QFileInfo file(m_path);
    const QString folder = file.absolutePath();
    if (!QFileInfo::exists(folder) && QDir().mkpath(QFileInfo(folder).absolutePath()))
        QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!file.exists()) {
        // QSettings makes a file it creates readable by everyone; QSaveFile keeps the mode of an
        // existing one. An empty file reads as holding no values.
        QFile created(m_path);
        if (created.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                         QFile::ReadOwner | QFile::WriteOwner))
            created.close();
        return;
    }
    if (file.isFile() && (file.permissions() & groupOrOthers))
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
}

void PreferenceSuite::makePrivate()
{
    QStringList madePrivate;
    const auto restrict = [&](const QString &path, QFile::Permissions ownerOnly) {
        if (!(QFile::permissions(path) & groupOrOthers))
            return;
        if (QFile::setPermissions(path, ownerOnly))
            madePrivate.append(path);
        else
            m_log.line("Cannot make", path, "private to its owner; others may read the passwords");
    };
    const QFileInfo file(m_path);
    if (file.dir().exists())
        restrict(file.absolutePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (file.isFile())
        restrict(m_path, QFile::ReadOwner | QFile::WriteOwner);
    if (!madePrivate.isEmpty())
        m_log.line("Others could read the preferences; made private to their owner:",
                   madePrivate.join(QStringLiteral(", ")));
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
    if (m_savePending) {
        m_settings->setValue(key, value);
        return;
    }
    // QSettings re-reads the file before it saves and writes back only what was set since: with
    // the file moved aside, every value held here has to be set again.
    if (keepUnusableFileAside("saving the values in use")) {
        for (const QString &held : m_settings->allKeys())
            m_settings->setValue(held, m_settings->value(held));
    }
    restrictAccess();
    // QSettings never clears a failure it reported; only a new one can tell about this save.
    if (m_settings->status() != QSettings::NoError)
        open();
    m_settings->setValue(key, value);
    if (m_batchDepth > 0)
        m_savePending = true;
    else
        save();
}

void PreferenceSuite::save()
{
    m_savePending = false;
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        m_log.line("Cannot save the preferences file", m_path);
}

PreferenceSuite::Batch::~Batch()
{
    if (--m_suite.m_batchDepth == 0 && m_suite.m_savePending)
        m_suite.save();
}

} // namespace zc

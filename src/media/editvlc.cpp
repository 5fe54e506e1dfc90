#include "editvlc.h"

#include "iworkspace.h"
#include "log.h"
#include "zantipreferences.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace zc {

namespace {

using namespace std::chrono_literals;

constexpr auto quitLimit = 5s;
constexpr QByteArrayView defaultPort = "8080";

QString vlcName()
{
    return QStringLiteral("VLC");
}

QString pathFor(const std::optional<InstalledApplication> &installed, const QString &configHome,
                const QString &home)
{
    if (installed && installed->kind == InstalledApplication::Kind::Flatpak) {
        const QString id = installed->flatpakId.isEmpty() ? QStringLiteral("org.videolan.VLC")
                                                          : installed->flatpakId;
        return home + QStringLiteral("/.var/app/") + id + QStringLiteral("/config/vlc/vlcrc");
    }
    return configHome + QStringLiteral("/vlc/vlcrc");
}

QList<QByteArray> splitLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    return lines;
}

struct Setting
{
    QByteArrayView key;
    QByteArrayView value;
    bool commented;
};

// A `key=value` line, commented out with "#" or not.
std::optional<Setting> parseSetting(QByteArrayView line)
{
    const bool commented = line.startsWith('#');
    if (commented)
        line = line.sliced(1);
    const qsizetype equals = line.indexOf('=');
    if (equals < 0)
        return std::nullopt;
    return Setting{line.first(equals), line.sliced(equals + 1), commented};
}

// The value of the first line that sets the key; a commented line sets nothing.
std::optional<QByteArray> activeValue(const QList<QByteArray> &lines, QByteArrayView key)
{
    for (const QByteArray &line : lines) {
        const std::optional<Setting> setting = parseSetting(line);
        if (setting && !setting->commented && setting->key == key)
            return setting->value.toByteArray();
    }
    return std::nullopt;
}

// Decimal 1 to 65535, written without leading zeros.
std::optional<QByteArray> validPort(const QString &text)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty())
        return std::nullopt;
    for (QChar c : digits)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    bool ok = false;
    const uint value = digits.toUInt(&ok, 10);
    if (!ok || value < 1 || value > 65535)
        return std::nullopt;
    return QByteArray::number(value);
}

QByteArray withHttpInterface(QByteArrayView interfaces)
{
    if (interfaces.isEmpty())
        return "http";
    const QByteArray list = interfaces.toByteArray();
    // VLC splits the list at every ':', ',' and space.
    QByteArray items = list;
    if (items.replace(',', ':').replace(' ', ':').split(':').contains("http"))
        return list;
    return list + ":http";
}

struct Edit
{
    QByteArray text;
    // Every line the edit set, with its number counted from 1.
    QList<std::pair<qsizetype, QByteArray>> lines;
};

// An absent port leaves the port lines as they are.
Edit editText(const QList<QByteArray> &original, const QByteArray &password,
              const std::optional<QByteArray> &port, bool newFile)
{
    Edit edit;
    QList<QByteArray> lines = original;
    bool hasInterfaces = false;
    bool hasPassword = false;
    bool hasPort = false;
    const auto set = [&](qsizetype index, const QByteArray &line) {
        lines[index] = line;
        edit.lines.append({index + 1, line});
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const std::optional<Setting> setting = parseSetting(lines[i]);
        if (!setting)
            continue;
        if (setting->key == "extraintf") {
            hasInterfaces = true;
            set(i, "extraintf=" + (setting->commented ? QByteArray("http")
                                                      : withHttpInterface(setting->value)));
        } else if (setting->key == "http-password") {
            hasPassword = true;
            set(i, "http-password=" + password);
        } else if (setting->key == "http-port") {
            hasPort = true;
            if (port && !(*port == defaultPort && setting->commented))
                set(i, "http-port=" + *port);
        }
    }
    const auto append = [&](const QByteArray &line) {
        lines.append(line);
        edit.lines.append({lines.size(), line});
    };
    if (!hasInterfaces)
        append("extraintf=http");
    if (!hasPassword)
        append("http-password=" + password);
    if (port && !hasPort && (*port != defaultPort || newFile))
        append("http-port=" + *port);
    edit.text = lines.join('\n') + '\n';
    return edit;
}

QByteArray masked(QByteArray line, const QByteArray &password)
{
    return line.replace(password, QByteArray(passwordMask.data(), passwordMask.size()));
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

std::optional<QByteArray> readFile(const QString &path, Log &log)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log.line("Cannot read", path + u':', file.errorString());
        return std::nullopt;
    }
    // Bounded even for a file that grows, or is no regular file at all.
    QByteArray text = file.read(EditVLC::maximumFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        log.line("Cannot read", path + u':', file.errorString());
        return std::nullopt;
    }
    if (text.size() > EditVLC::maximumFileSize) {
        log.line("Cannot read", path + u':', "it is larger than 16 MiB");
        return std::nullopt;
    }
    return text;
}

bool writeFile(const QString &path, const QByteArray &text, bool existed, Log &log)
{
    struct stat before = {};
    if (existed && ::stat(QFile::encodeName(path).constData(), &before) != 0) {
        log.line("Cannot read the permissions of", path + u':', systemError());
        return false;
    }
    if (!existed) {
        const QString directory = QFileInfo(path).absolutePath();
        if (!QFileInfo::exists(directory)) {
            if (!QDir().mkpath(directory)) {
                log.line("Cannot create the directory", directory);
                return false;
            }
            // VLC keeps its directory to its user; the password is in there.
            QFile::setPermissions(directory,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        log.line("Cannot write", path + u':', file.errorString());
        return false;
    }
    const mode_t mode = existed ? (before.st_mode & 07777) : mode_t(0600);
    if (::fchmod(file.handle(), mode) != 0) {
        log.line("Cannot keep the permissions of", path + u':', systemError());
        file.cancelWriting();
        return false;
    }
    // Only root (or an owner changing to one of its own groups) may; VLC must still read it.
    if (existed && (before.st_uid != ::geteuid() || before.st_gid != ::getegid()) &&
        ::fchown(file.handle(), before.st_uid, before.st_gid) != 0)
        log.line("Cannot keep the owner of", path + u':', systemError());
    file.write(text);
    if (!file.commit()) {
        log.line("Cannot write", path + u':', file.errorString());
        return false;
    }
    return true;
}

// What the file holds once edited, for the preferences; nothing when it was left alone.
struct Stored
{
    QByteArray password;
    std::optional<quint16> port;
};

// Runs on a worker thread: touches nothing but the file and the log.
std::optional<Stored> editFile(const QString &path, bool installed,
                               const std::optional<QString> &givenPassword,
                               const std::optional<QString> &givenPort, Log &log)
{
    log.line("VLC configuration file:", path);
    bool exists = QFileInfo::exists(path);
    if (exists && QFileInfo(path).size() > EditVLC::maximumFileSize) {
        // Not a file VLC wrote; VLC itself would stall on it. Kept for the user to look into.
        const QString aside =
            path + QStringLiteral(".too-large-") +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        if (!QFile::rename(path, aside)) {
            log.line("VLC configuration file", path,
                     "is larger than 16 MiB and cannot be moved aside; nothing is changed");
            return std::nullopt;
        }
        log.line("VLC configuration file", path, "is larger than 16 MiB; kept as", aside);
        exists = false;
    }
    if (!exists && !installed) {
        log.line("VLC is not installed and has no configuration file; nothing to change");
        return std::nullopt;
    }
    QByteArray text;
    if (exists) {
        std::optional<QByteArray> read = readFile(path, log);
        if (!read)
            return std::nullopt;
        text = std::move(*read);
    }
    const QList<QByteArray> lines = splitLines(text);

    // Bytes, not text: a password that is not UTF-8 must come back as it was.
    QByteArray password =
        givenPassword ? givenPassword->toUtf8() : activeValue(lines, "http-password").value_or("");
    if (password.isEmpty())
        password = QByteArray::number(QRandomGenerator::global()->bounded(1000, 10000));
    if (password.contains('\n') || password.contains('\r') || password.contains('\0')) {
        log.line("The VLC password holds a line break or a null character; nothing is changed");
        return std::nullopt;
    }
    const QString portText = givenPort.value_or(
        QString::fromUtf8(activeValue(lines, "http-port").value_or(defaultPort.toByteArray())));
    const std::optional<QByteArray> port = validPort(portText);
    if (!port)
        log.line("The VLC port", portText,
                 "is not a number from 1 to 65535; it is neither written nor stored");

    const Edit edit = editText(lines, password, port, !exists);
    for (const auto &[number, line] : edit.lines)
        log.line("vlcrc line", number, masked(line, password));
    if ((!exists || edit.text != text) && !writeFile(path, edit.text, exists, log))
        return std::nullopt;
    return Stored{password, port ? std::optional<quint16>(quint16(port->toUInt())) : std::nullopt};
}

} // namespace

EditVLC::EditVLC(IWorkspace &workspace, ZantiPreferences &preferences, QString configHome, Log &log,
                 QString home, std::chrono::milliseconds restartDelay)
    : m_workspace(workspace), m_preferences(preferences), m_configHome(std::move(configHome)),
      m_log(log), m_home(std::move(home)), m_restartDelay(restartDelay)
{
    m_pool.setMaxThreadCount(1);
}

EditVLC::~EditVLC() = default;

void EditVLC::configureVLC(std::optional<QString> password, std::optional<QString> port,
                           std::function<void()> done)
{
    m_pending.push_back({std::move(password), std::move(port), std::move(done)});
    startNext();
}

QString EditVLC::vlcrcPath()
{
    return pathFor(m_workspace.findApplication(vlcName()), m_configHome, m_home);
}

QString EditVLC::readVLCPassword()
{
    const QString path = vlcrcPath();
    const std::optional<QByteArray> text = readFile(path, m_log);
    if (!text)
        return {};
    const QString password =
        QString::fromUtf8(activeValue(splitLines(*text), "http-password").value_or(QByteArray()));
    m_log.line("VLC password in", path + u':',
               password.isEmpty() ? QByteArrayView("none")
                                  : QByteArrayView(passwordMask.data(), passwordMask.size()));
    return password;
}

QString EditVLC::readVLCPort()
{
    const std::optional<QByteArray> text = readFile(vlcrcPath(), m_log);
    if (!text)
        return QString::fromLatin1(defaultPort);
    return QString::fromUtf8(
        activeValue(splitLines(*text), "http-port").value_or(defaultPort.toByteArray()));
}

void EditVLC::startNext()
{
    if (m_busy || m_pending.empty())
        return;
    m_busy = true;
    Call call = std::move(m_pending.front());
    m_pending.pop_front();

    QList<qint64> quitting;
    for (const RunningApplication &application : m_workspace.runningApplications()) {
        if (!application.regular)
            continue;
        m_log.line(application.name);
        if (application.name == vlcName()) {
            m_workspace.quitApplication(application);
            quitting.append(application.processId);
        }
    }
    if (quitting.isEmpty()) {
        edit(std::move(call), false);
        return;
    }
    std::weak_ptr<int> alive = m_alive;
    m_workspace.whenGone(quitting, quitLimit,
                         [this, alive, call = std::move(call)](bool gone) mutable {
                             if (alive.expired())
                                 return;
                             if (gone) {
                                 edit(std::move(call), true);
                                 return;
                             }
                             m_log.line("VLC did not quit within", qint64(quitLimit.count()),
                                        "seconds; its configuration is left unchanged");
                             finish(std::move(call), false);
                         });
}

void EditVLC::edit(Call call, bool restart)
{
    const std::optional<InstalledApplication> installed = m_workspace.findApplication(vlcName());
    const QString path = pathFor(installed, m_configHome, m_home);
    // Reading and writing a file may take long (a large or remote one): never on this thread,
    // which serves the phones.
    m_pool.start([this, path, installed = installed.has_value(), call = std::move(call),
                  restart]() mutable {
        std::optional<Stored> stored = editFile(path, installed, call.password, call.port, m_log);
        // m_context outlives this task: the pool, which goes first, waits for it.
        QMetaObject::invokeMethod(
            &m_context,
            [this, stored = std::move(stored), call = std::move(call), restart]() mutable {
                if (stored) {
                    m_preferences.setVLCPasswordBytes(stored->password);
                    if (stored->port)
                        m_preferences.setVLCPort(*stored->port);
                }
                finish(std::move(call), restart);
            },
            Qt::QueuedConnection);
    });
}

void EditVLC::finish(Call call, bool restart)
{
    std::weak_ptr<int> alive = m_alive;
    QTimer::singleShot(m_restartDelay, [this, alive, restart, done = std::move(call.done)] {
        if (alive.expired())
            return;
        if (restart)
            m_workspace.launchApplication(vlcName());
        m_busy = false;
        if (done)
            done();
        if (!alive.expired())
            startNext();
    });
}

} // namespace zc

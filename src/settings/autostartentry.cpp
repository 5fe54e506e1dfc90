#include "autostartentry.h"

#include "log.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>

namespace zc {

AutostartEntry::AutostartEntry(const QString &configHome, Log &log)
    : m_path(QDir(configHome).filePath(QStringLiteral("autostart/zanti-connect.desktop"))),
      m_log(log)
{}

QString desktopEntryExec(const QString &programPath)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString escaped = programPath;
    escaped.replace(u'%', QStringLiteral("%%"));
    const bool needsQuotes =
        std::any_of(escaped.cbegin(), escaped.cend(), [](QChar c) { return reserved.contains(c); });
    if (needsQuotes) {
        QString quoted(u'"');
        for (QChar c : escaped) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                quoted += u'\\';
            quoted += c;
        }
        escaped = quoted + u'"';
    }
    // The desktop entry format reads the value with its own backslash escapes first; a raw line
    // break would end the entry's line.
    return escaped.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'\n', QStringLiteral("\\n"))
        .replace(u'\r', QStringLiteral("\\r"))
        .replace(u'\t', QStringLiteral("\\t"));
}

bool AutostartEntry::isExistLoginItem(const QString &programPath) const
{
    if (!QFile::exists(m_path))
        return false;
    const QSettings entry(m_path, QSettings::IniFormat);
    const QString group = QStringLiteral("Desktop Entry/");
    if (entry.value(group + QStringLiteral("Hidden")).toString() == QLatin1String("true"))
        return false;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = "Exec=" + desktopEntryExec(programPath).toUtf8();
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.trimmed() == wanted)
            return true;
    }
    return false;
}

void AutostartEntry::addLoginItem(const QString &programPath)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    const QByteArray content = "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=Zanti Connect\n"
                               "Comment=Lets the Zanti phone remote drive this computer\n"
                               "Exec=" +
                               desktopEntryExec(programPath).toUtf8() +
                               "\n"
                               "Terminal=false\n"
                               "X-GNOME-Autostart-enabled=true\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        m_log.line("Cannot write the autostart entry", m_path, file.errorString());
        return;
    }
    m_log.line("Added the autostart entry", m_path);
}

void AutostartEntry::removeLoginItem()
{
    if (QFile::remove(m_path))
        m_log.line("Removed the autostart entry", m_path);
    else
        m_log.line("Cannot remove the autostart entry", m_path);
}

} // namespace zc

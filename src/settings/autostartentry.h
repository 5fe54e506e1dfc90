#pragma once

#include <QString>

namespace zc {

class Log;

// The desktop's start-at-login entry for this program: an XDG autostart file,
// "<config home>/autostart/zanti-connect.desktop".
class AutostartEntry
{
public:
    AutostartEntry(const QString &configHome, Log &log);

    // An entry that runs this program. One the user disabled (Hidden=true) does not count.
    bool isExistLoginItem(const QString &programPath) const;
    void addLoginItem(const QString &programPath);
    void removeLoginItem();

    QString filePath() const { return m_path; }

private:
    QString m_path;
    Log &m_log;
};

// The program path as a desktop entry's Exec key needs it: quoted when it holds anything but
// plain characters, with the characters the quoting reserves escaped, and "%" doubled; then
// backslash, line feed, carriage return and tab written as the entry's string escapes.
QString desktopEntryExec(const QString &programPath);

} // namespace zc

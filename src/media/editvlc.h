#pragma once

#include <QByteArray>
#include <QDir>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace zc {

class IWorkspace;
class Log;
class ZantiPreferences;

// Switches on VLC's HTTP web interface by editing the user's vlcrc, so that VLC, when it next
// starts, serves it on the port and with the password the preferences hold (and the phone is
// told).
//
// The file is `<configHome>/vlc/vlcrc`, or `<home>/.var/app/<id>/config/vlc/vlcrc` when VLC is
// installed as a Flatpak. Only lines whose key is exactly `extraintf`, `http-password` or
// `http-port`, commented out with "#" or not, are touched, each replaced as a whole line:
// - `extraintf`: a commented line becomes `extraintf=http`; an active one gets `:http` added to
//   its list unless the list already holds it (VLC separates the list's items with ':', ','
//   or spaces).
// - `http-password`: every such line becomes `http-password=<password>`, written literally.
// - `http-port`: every such line becomes `http-port=<port>`. For port 8080 a commented line is
//   left commented, since VLC's own default 8080 then applies; active lines become
//   `http-port=8080`.
// A key without any line is appended (`http-port` only when the port is not 8080); VLC reads
// its options by name wherever they stand. A missing vlcrc is created with the three lines when
// VLC is installed. Line endings become LF and the file always ends with a newline. The file is
// replaced atomically, keeping its permissions and, where allowed, its owner and group. A vlcrc
// larger than maximumFileSize is kept aside as `vlcrc.too-large-<time>` and a new one made. The
// password is handled as bytes: one that is not UTF-8 is kept exactly.
class EditVLC
{
public:
    // VLC's own file is some 200 KiB; this leaves room for what users add.
    static constexpr qint64 maximumFileSize = 16 * 1024 * 1024;

    // `restartDelay`: how long after the edit VLC is started again and `done` is called.
    EditVLC(IWorkspace &workspace, ZantiPreferences &preferences, QString configHome, Log &log,
            QString home = QDir::homePath(),
            std::chrono::milliseconds restartDelay = std::chrono::seconds(1));
    ~EditVLC();
    EditVLC(const EditVLC &) = delete;
    EditVLC &operator=(const EditVLC &) = delete;

    // Quits a running VLC first (VLC rewrites its whole vlcrc at exit when its configuration
    // changed while it ran, which would undo the edit), waits until it is gone, edits the file,
    // stores the port and password in the preferences, and starts VLC again a second later if it
    // was quit. An absent password or port is taken from the file; an empty password becomes
    // a random one from 1000 to 9999. The preferences change only when the file holds the new
    // values (written, or already there): a vlcrc that cannot be read or replaced is left alone,
    // and so are they. A port that is not a number from 1 to 65535 is neither written nor
    // stored, and a password with a line break changes nothing. A file that needs no change is
    // not rewritten.
    //
    // Never blocks: the file is read, edited and written on a worker thread, and `done` is
    // called on this thread once everything has finished, restart included. Calls made while one
    // is under way run after it, in order. Destroying the editor waits for a file edit under way,
    // and abandons pending calls without calling their `done`.
    void configureVLC(std::optional<QString> password, std::optional<QString> port,
                      std::function<void()> done);

    // These two read the file on the calling thread.
    // The password of the first active `http-password` line, or empty.
    QString readVLCPassword();
    // The value of the first active `http-port` line, or "8080".
    QString readVLCPort();

    QString vlcrcPath();

private:
    struct Call
    {
        std::optional<QString> password;
        std::optional<QString> port;
        std::function<void()> done;
    };

    void startNext();
    void edit(Call call, bool restart);
    void finish(Call call, bool restart);

    IWorkspace &m_workspace;
    ZantiPreferences &m_preferences;
    QString m_configHome;
    Log &m_log;
    QString m_home;
    std::chrono::milliseconds m_restartDelay;
    std::deque<Call> m_pending;
    bool m_busy = false;
    // Callbacks that outlive the editor find this expired.
    std::shared_ptr<int> m_alive = std::make_shared<int>();
    // Receives the file edits' results on this thread.
    QObject m_context;
    // Last, so that it goes first: its destructor waits for the edit under way, which delivers
    // its result to m_context.
    QThreadPool m_pool;
};

} // namespace zc

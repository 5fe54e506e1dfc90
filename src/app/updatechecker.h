#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QObject;
class QTimer;

namespace zc {

class Log;

// -1, 0 or 1 as version `a` is older than, equal to or newer than `b`. Dot-separated numeric
// components, missing ones counting as 0 (1.2 equals 1.2.0), compared as numbers (1.10 is newer
// than 1.9) however many digits they have. A pre-release tag after "-" or "~" sorts before the
// release (1.2.0-beta1 < 1.2.0), and tags compare piece by piece, numbers as numbers
// (beta2 < beta10 < rc1). A leading "v" and build metadata after "+" are ignored. Any text is
// accepted: a malformed version compares somehow, never fails.
int compareVersions(QStringView a, QStringView b);

struct UpdateResult
{
    enum class Outcome
    {
        UpToDate,
        NewerVersion,
        Failed
    };

    Outcome outcome = Outcome::Failed;
    // The newest version the feed names, as it names it (UpToDate and NewerVersion).
    QString version;
    // NewerVersion: the page that announces it, always http or https; empty when the feed names
    // no such page.
    QUrl page;
    // One sentence for the user, for every outcome.
    QString message;
};

// Asks the update feed, an appcast, whether a newer version than the running one is out. It
// announces and links only: nothing is ever downloaded but the feed, nothing installed. On Linux
// the package manager owns the installed files, and a program that replaced them from the
// network would corrupt the system's records and open a way in for whoever controls the feed.
//
// The feed must be an https address (a program built without one has checks off). A check has
// one deadline for the whole transfer, takes at most maximumFeedSize bytes, and follows
// redirects only to addresses the feed itself could have had.
//
// Lives on the thread of the network access manager, which must outlive it.
class UpdateChecker
{
public:
    using Done = std::function<void(const UpdateResult &)>;

    static constexpr qint64 maximumFeedSize = 1024 * 1024;

    struct Options
    {
        std::chrono::milliseconds timeout = std::chrono::seconds(15);
        // For tests only: plain http to 127.0.0.1 or ::1, which no one else can listen on.
        bool allowPlainHttpOnLoopback = false;
    };

    // An empty feed switches checks off, which is logged once; so is a feed that is not allowed.
    UpdateChecker(const QUrl &feed, const QString &runningVersion, QNetworkAccessManager &network,
                  Log &log);
    UpdateChecker(const QUrl &feed, const QString &runningVersion, QNetworkAccessManager &network,
                  Log &log, Options options);
    // A check under way is dropped; its callbacks are not called.
    ~UpdateChecker();
    UpdateChecker(const UpdateChecker &) = delete;
    UpdateChecker &operator=(const UpdateChecker &) = delete;

    bool isEnabled() const { return m_enabled; }
    bool isChecking() const { return !m_waiting.empty(); }

    // Always answers, later and on this thread, with one result (written to the log as well),
    // even with checks off. A call while a check is under way waits for that check's answer
    // instead of starting another. `done` may start a new check or destroy the checker.
    void check(Done done);

private:
    void start();
    void stopTransfer(const QString &reason);
    void finished();
    void answer(const UpdateResult &result);
    bool allowed(const QUrl &address) const;

    const QUrl m_feed;
    const QString m_runningVersion;
    QNetworkAccessManager &m_network;
    Log &m_log;
    const Options m_options;
    bool m_enabled = false;
    QString m_offReason;

    std::vector<Done> m_waiting;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_body;
    // Set when the checker ended the transfer itself, before the reply reports it.
    QString m_stopReason;
    // Owns every connection and the deadline timer, so that none outlives the checker.
    std::unique_ptr<QObject> m_context;
    QTimer *m_deadline = nullptr;
};

} // namespace zc

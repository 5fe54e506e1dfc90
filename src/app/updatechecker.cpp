#include "updatechecker.h"

#include "log.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>
#include <QXmlStreamReader>

#include <algorithm>
#include <utility>

namespace zc {

namespace {

bool isDigit(QChar c)
{
    // Only ASCII: other scripts' digits have no place in a version, and QChar::isDigit takes them.
    return c >= u'0' && c <= u'9';
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

// Two digit runs as numbers of any length: no conversion, so no overflow.
int compareNumbers(QStringView a, QStringView b)
{
    while (a.size() > 1 && a.front() == u'0')
        a = a.mid(1);
    while (b.size() > 1 && b.front() == u'0')
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return sign(a.compare(b));
}

// The next run of digits or of other characters, skipping dots and further tag separators.
QStringView nextRun(QStringView &text)
{
    qsizetype start = 0;
    while (start < text.size() &&
           (text[start] == u'.' || text[start] == u'-' || text[start] == u'~'))
        ++start;
    qsizetype end = start;
    const bool digits = end < text.size() && isDigit(text[end]);
    while (end < text.size() && isDigit(text[end]) == digits && text[end] != u'.' &&
           text[end] != u'-' && text[end] != u'~')
        ++end;
    const QStringView run = text.mid(start, end - start);
    text = text.mid(end);
    return run;
}

// Run by run: numbers as numbers, words without regard to case, a number before a word (as
// semantic versioning orders pre-release fields), and a text that runs out first before the other.
int compareRuns(QStringView a, QStringView b)
{
    for (;;) {
        const QStringView left = nextRun(a);
        const QStringView right = nextRun(b);
        if (left.isEmpty() || right.isEmpty())
            return int(!left.isEmpty()) - int(!right.isEmpty());
        const bool leftNumber = isDigit(left.front());
        const bool rightNumber = isDigit(right.front());
        int order = 0;
        if (leftNumber != rightNumber)
            order = leftNumber ? -1 : 1;
        else if (leftNumber)
            order = compareNumbers(left, right);
        else
            order = sign(left.compare(right, Qt::CaseInsensitive));
        if (order != 0)
            return order;
    }
}

struct Version
{
    QStringView release;
    QStringView preRelease;
};

Version splitVersion(QStringView text)
{
    text = text.trimmed();
    if (!text.isEmpty() && (text.front() == u'v' || text.front() == u'V'))
        text = text.mid(1);
    text = text.left(text.indexOf(u'+'));
    const auto tag =
        std::find_if(text.begin(), text.end(), [](QChar c) { return c == u'-' || c == u'~'; });
    const qsizetype at = tag - text.begin();
    return {text.left(at), tag == text.end() ? QStringView() : text.mid(at + 1)};
}

bool isComparableVersion(QStringView text)
{
    const QStringView release = splitVersion(text).release;
    return text.size() <= 64 && !release.isEmpty() && isDigit(release.front());
}

constexpr QLatin1String sparkleNamespace{"http://www.andymatuschak.org/xml-namespaces/sparkle"};

bool isWebPage(const QUrl &url)
{
    return url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http") &&
           !url.host().isEmpty();
}

struct FeedItem
{
    QString version;
    QUrl page;
};

struct Appcast
{
    FeedItem newest;
    QString error;
};

FeedItem readItem(QXmlStreamReader &xml)
{
    QString version;
    QString shortVersion;
    QString enclosureVersion;
    QString enclosureShortVersion;
    QString releaseNotes;
    QString link;
    while (xml.readNextStartElement()) {
        const bool sparkle = xml.namespaceUri() == sparkleNamespace;
        const bool plain = xml.namespaceUri().isEmpty();
        if (sparkle && xml.name() == u"version") {
            version = xml.readElementText().trimmed();
        } else if (sparkle && xml.name() == u"shortVersionString") {
            shortVersion = xml.readElementText().trimmed();
        } else if (sparkle && xml.name() == u"releaseNotesLink") {
            releaseNotes = xml.readElementText().trimmed();
        } else if (plain && xml.name() == u"link") {
            link = xml.readElementText().trimmed();
        } else if (plain && xml.name() == u"enclosure") {
            // Only its version: the file it points to is never fetched.
            const QXmlStreamAttributes attributes = xml.attributes();
            enclosureVersion =
                attributes.value(sparkleNamespace, QLatin1String("version")).trimmed().toString();
            enclosureShortVersion =
                attributes.value(sparkleNamespace, QLatin1String("shortVersionString"))
                    .trimmed()
                    .toString();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    // The running version is the one people see, so the feed's shown version is compared when
    // it names one; sparkle:version may then be a build number.
    FeedItem item;
    for (const QString *candidate :
         {&shortVersion, &enclosureShortVersion, &version, &enclosureVersion}) {
        if (!candidate->isEmpty()) {
            item.version = *candidate;
            break;
        }
    }
    for (const QString *candidate : {&releaseNotes, &link}) {
        const QUrl url(*candidate, QUrl::StrictMode);
        if (isWebPage(url)) {
            item.page = url;
            break;
        }
    }
    return item;
}

Appcast readAppcast(const QByteArray &body)
{
    const QString notAppcast = QStringLiteral("The update feed is not a valid appcast: ");
    Appcast appcast;
    QXmlStreamReader xml(body);
    bool channel = false;
    if (xml.readNextStartElement() && xml.name() == u"rss" && xml.namespaceUri().isEmpty()) {
        while (xml.readNextStartElement()) {
            if (xml.name() != u"channel" || !xml.namespaceUri().isEmpty()) {
                xml.skipCurrentElement();
                continue;
            }
            channel = true;
            while (xml.readNextStartElement()) {
                if (xml.name() != u"item" || !xml.namespaceUri().isEmpty()) {
                    xml.skipCurrentElement();
                    continue;
                }
                FeedItem item = readItem(xml);
                if (isComparableVersion(item.version) &&
                    (appcast.newest.version.isEmpty() ||
                     compareVersions(item.version, appcast.newest.version) > 0))
                    appcast.newest = std::move(item);
            }
        }
    }
    // Read to the end: what follows the feed must be well-formed too.
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError()) {
        QString reason = xml.errorString();
        while (reason.endsWith(u'.'))
            reason.chop(1);
        appcast.error =
            notAppcast +
            QStringLiteral("its XML is broken at line %1 (%2).").arg(xml.lineNumber()).arg(reason);
    } else if (!channel) {
        appcast.error = notAppcast + QStringLiteral("it is not an RSS channel.");
    } else if (appcast.newest.version.isEmpty()) {
        appcast.error = notAppcast + QStringLiteral("no item names a version.");
    }
    return appcast;
}

UpdateResult failure(QString message)
{
    return {UpdateResult::Outcome::Failed, {}, {}, std::move(message)};
}

} // namespace

int compareVersions(QStringView a, QStringView b)
{
    const Version left = splitVersion(a);
    const Version right = splitVersion(b);
    QStringView leftRelease = left.release;
    QStringView rightRelease = right.release;
    while (!leftRelease.isEmpty() || !rightRelease.isEmpty()) {
        const auto component = [](QStringView &text) {
            const qsizetype dot = text.indexOf(u'.');
            const QStringView part = text.left(dot);
            text = dot < 0 ? QStringView() : text.mid(dot + 1);
            return part.isEmpty() ? QStringView(u"0") : part;
        };
        if (const int order = compareRuns(component(leftRelease), component(rightRelease)))
            return order;
    }
    if (left.preRelease.isEmpty() || right.preRelease.isEmpty())
        return int(left.preRelease.isEmpty()) - int(right.preRelease.isEmpty());
    return compareRuns(left.preRelease, right.preRelease);
}

UpdateChecker::UpdateChecker(const QUrl &feed, const QString &runningVersion,
                             QNetworkAccessManager &network, Log &log)
    : UpdateChecker(feed, runningVersion, network, log, Options())
{}

UpdateChecker::UpdateChecker(const QUrl &feed, const QString &runningVersion,
                             QNetworkAccessManager &network, Log &log, Options options)
    : m_feed(feed), m_runningVersion(runningVersion), m_network(network), m_log(log),
      m_options(options), m_context(std::make_unique<QObject>())
{
    if (m_feed.isEmpty()) {
        m_log.line("Update checks are off: this build names no update feed");
        m_offReason = QStringLiteral("This build names no update feed, so it cannot check for "
                                     "updates.");
    } else if (!allowed(m_feed)) {
        m_log.line("Update checks are off: the update feed is not an https address:",
                   m_feed.toDisplayString());
        m_offReason =
            QStringLiteral("The update feed is not an https address, so it is not checked.");
    } else {
        m_enabled = true;
    }
    m_deadline = new QTimer(m_context.get());
    m_deadline->setSingleShot(true);
    QObject::connect(m_deadline, &QTimer::timeout, m_context.get(), [this] {
        stopTransfer(QStringLiteral("The update server did not answer in time (%1 s).")
                         .arg(double(m_options.timeout.count()) / 1000.0));
    });
}

UpdateChecker::~UpdateChecker()
{
    // The context goes first and takes every connection with it: the aborted reply cannot call
    // back into a checker that is half gone.
    m_context.reset();
    if (m_reply) {
        m_reply->abort();
        m_reply->deleteLater();
    }
}

bool UpdateChecker::allowed(const QUrl &address) const
{
    if (!address.isValid() || address.host().isEmpty())
        return false;
    if (address.scheme() == u"https")
        return true;
    const QHostAddress host(address.host());
    return m_options.allowPlainHttpOnLoopback && address.scheme() == u"http" &&
           (host == QHostAddress::LocalHost || host == QHostAddress::LocalHostIPv6);
}

void UpdateChecker::check(Done done)
{
    m_waiting.push_back(std::move(done));
    if (m_waiting.size() > 1)
        return;
    if (!m_enabled) {
        QMetaObject::invokeMethod(
            m_context.get(), [this] { answer(failure(m_offReason)); }, Qt::QueuedConnection);
        return;
    }
    start();
}

void UpdateChecker::start()
{
    QNetworkRequest request(m_feed);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    // "Check for updates" must ask the server, whatever cache the manager may have.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("zanti-connect/%1 (Linux)").arg(m_runningVersion));
    // One deadline for the whole transfer, not a transfer timeout: that would only notice a
    // server that goes silent, not one that trickles.
    m_deadline->start(m_options.timeout);

    QNetworkReply *reply = m_network.get(request);
    m_reply = reply;
    QObject::connect(reply, &QNetworkReply::redirected, m_context.get(),
                     [this, reply](const QUrl &target) {
                         if (allowed(target))
                             emit reply->redirectAllowed();
                         else
                             stopTransfer(QStringLiteral("The update server redirected to an "
                                                         "address that is not https."));
                     });
    QObject::connect(reply, &QNetworkReply::readyRead, m_context.get(), [this, reply] {
        if (!m_stopReason.isEmpty())
            return;
        m_body += reply->readAll();
        if (m_body.size() > maximumFeedSize)
            stopTransfer(QStringLiteral("The update feed is not a valid appcast: it is larger "
                                        "than 1 MiB."));
    });
    // Queued: abort() reports the end at once, and the handlers that abort must not see the
    // answer, and its callbacks, run inside them.
    QObject::connect(
        reply, &QNetworkReply::finished, m_context.get(), [this] { finished(); },
        Qt::QueuedConnection);
}

void UpdateChecker::stopTransfer(const QString &reason)
{
    if (!m_reply || !m_stopReason.isEmpty())
        return;
    m_stopReason = reason;
    m_reply->abort();
}

void UpdateChecker::finished()
{
    m_deadline->stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    const QString stopReason = std::exchange(m_stopReason, {});
    const QByteArray body =
        std::exchange(m_body, {}) + (stopReason.isEmpty() ? reply->readAll() : QByteArray());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.isValid() ? status.toInt() : 200;

    UpdateResult result;
    if (!stopReason.isEmpty()) {
        result = failure(stopReason);
    } else if (code < 200 || code >= 300) {
        result = failure(QStringLiteral("The update server answered with HTTP status %1 instead "
                                        "of the feed.")
                             .arg(code));
    } else if (reply->error() != QNetworkReply::NoError) {
        QString reason = reply->errorString();
        if (!reason.endsWith(u'.'))
            reason += u'.';
        result = failure(QStringLiteral("Could not reach the update server: ") + reason);
    } else if (body.size() > maximumFeedSize) {
        result = failure(QStringLiteral("The update feed is not a valid appcast: it is larger "
                                        "than 1 MiB."));
    } else if (const Appcast appcast = readAppcast(body); !appcast.error.isEmpty()) {
        result = failure(appcast.error);
    } else if (compareVersions(appcast.newest.version, m_runningVersion) > 0) {
        result = {UpdateResult::Outcome::NewerVersion, appcast.newest.version, appcast.newest.page,
                  QStringLiteral("Version %1 is available; this is version %2.")
                      .arg(appcast.newest.version, m_runningVersion)};
    } else {
        result = {UpdateResult::Outcome::UpToDate,
                  appcast.newest.version,
                  {},
                  QStringLiteral("Version %1 is up to date.").arg(m_runningVersion)};
    }
    answer(result);
}

void UpdateChecker::answer(const UpdateResult &result)
{
    m_log.line("Update check:", result.message);
    // Taken out first: a callback may start the next check or destroy this checker.
    const std::vector<Done> waiting = std::exchange(m_waiting, {});
    for (const Done &done : waiting)
        done(result);
}

} // namespace zc

#include "endpoint.h"
#include "messages.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

#include <cstdio>

using namespace zc::remote;

namespace {

constexpr quint16 defaultPort = 5916;
constexpr int defaultTcpTimeoutMs = 3000;
constexpr int defaultDiscoveryTimeoutMs = 2000;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

constexpr QByteArrayView successAnswer = "success";

void printLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

int fail(int exitCode, const QString &message)
{
    printLine(stderr, QStringLiteral("zanti-remote: ") + message);
    return exitCode;
}

QString sendUsage()
{
    return QStringLiteral(
        "Usage: zanti-remote send [--tcp] [--password P] [--timeout MS] HOST[:PORT] REQUEST");
}

QString discoverUsage()
{
    return QStringLiteral(
        "Usage: zanti-remote discover [--password P] [--timeout MS] [HOST[:PORT]]");
}

int misuse(const QString &message, const QString &usage)
{
    fail(exitUsage, message);
    printLine(stderr, usage);
    return exitUsage;
}

struct Invocation
{
    QStringList arguments; // after the command
    bool tcp = false;
    std::optional<QString> password;
    std::optional<int> timeoutMs;
};

// The server answers "success" for each read of the request it handles, so a request that
// reached it in several reads is answered with several.
bool isSuccess(QByteArrayView answer)
{
    answer = answer.trimmed();
    if (answer.isEmpty())
        return false;
    while (answer.startsWith(successAnswer))
        answer = answer.sliced(successAnswer.size()).trimmed();
    return answer.isEmpty();
}

int remaining(const QDeadlineTimer &deadline)
{
    return int(deadline.remainingTime());
}

int sendUdp(const QHostAddress &address, quint16 port, const QByteArray &message)
{
    QUdpSocket socket;
    if (socket.writeDatagram(message, address, port) != message.size()) {
        return fail(exitFailure, QStringLiteral("cannot send to %1: %2")
                                     .arg(formatEndpoint(address, port), socket.errorString()));
    }
    return exitSuccess;
}

int sendTcp(const QList<QHostAddress> &addresses, quint16 port, const QByteArray &message,
            int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    QString failure;
    for (const QHostAddress &address : addresses) {
        socket.connectToHost(address, port);
        if (socket.waitForConnected(remaining(deadline)))
            break;
        failure = QStringLiteral("cannot connect to %1: %2")
                      .arg(formatEndpoint(address, port), socket.errorString());
        socket.abort();
    }
    if (socket.state() != QAbstractSocket::ConnectedState)
        return fail(exitFailure, failure);

    const QString peer = formatEndpoint(socket.peerAddress(), port);
    socket.write(message);
    // The server may keep the connection open after answering, so stop at the answer.
    QByteArray answer;
    while (!isSuccess(answer) && socket.waitForReadyRead(remaining(deadline)))
        answer += socket.readAll();
    if (isSuccess(answer)) {
        printLine(stdout, QString::fromUtf8(successAnswer));
        return exitSuccess;
    }
    answer += socket.readAll();
    if (!answer.isEmpty()) {
        return fail(exitFailure,
                    QStringLiteral("unexpected answer from %1: %2").arg(peer, replyLine(answer)));
    }
    if (socket.error() == QAbstractSocket::SocketTimeoutError)
        return fail(exitFailure,
                    QStringLiteral("no answer from %1 within %2 ms").arg(peer).arg(timeoutMs));
    if (socket.error() == QAbstractSocket::RemoteHostClosedError)
        return fail(exitFailure,
                    QStringLiteral("%1 closed the connection without answering").arg(peer));
    return fail(exitFailure,
                QStringLiteral("no answer from %1: %2").arg(peer, socket.errorString()));
}

int runSend(const Invocation &invocation)
{
    const QStringList &arguments = invocation.arguments;
    if (arguments.isEmpty())
        return misuse(QStringLiteral("send: missing HOST[:PORT] and REQUEST"), sendUsage());
    if (arguments.size() == 1)
        return misuse(QStringLiteral("send: missing REQUEST"), sendUsage());
    if (arguments.size() > 2) {
        return misuse(QStringLiteral("send: unexpected argument '%1'").arg(arguments.at(2)),
                      sendUsage());
    }
    QString error;
    const std::optional<Endpoint> endpoint = parseEndpoint(arguments.at(0), defaultPort, error);
    if (!endpoint)
        return fail(exitUsage, error);
    const QList<QHostAddress> addresses = resolveHost(endpoint->host, error);
    if (addresses.isEmpty())
        return fail(exitUsage, error);

    const QByteArray message =
        commandMessage(invocation.password.value_or(QString()), arguments.at(1), currentSentTime());
    if (invocation.tcp) {
        return sendTcp(addresses, endpoint->port, message,
                       invocation.timeoutMs.value_or(defaultTcpTimeoutMs));
    }
    return sendUdp(addresses.first(), endpoint->port, message);
}

int runDiscover(const Invocation &invocation)
{
    const QStringList &arguments = invocation.arguments;
    if (invocation.tcp)
        return misuse(QStringLiteral("discover: --tcp applies to send only"), discoverUsage());
    if (arguments.size() > 1) {
        return misuse(QStringLiteral("discover: unexpected argument '%1'").arg(arguments.at(1)),
                      discoverUsage());
    }
    QString error;
    const std::optional<Endpoint> endpoint =
        arguments.isEmpty()
            ? Endpoint{QHostAddress(QHostAddress::Broadcast).toString(), defaultPort}
            : parseEndpoint(arguments.at(0), defaultPort, error);
    if (!endpoint)
        return fail(exitUsage, error);
    const QList<QHostAddress> addresses = resolveHost(endpoint->host, error);
    if (addresses.isEmpty())
        return fail(exitUsage, error);
    const QHostAddress &address = addresses.first();

    // Qt turns SO_BROADCAST on for every UDP socket it creates, so the broadcast address needs
    // nothing more here.
    QUdpSocket socket;
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (!socket.bind(ipv6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0)) {
        return fail(exitFailure,
                    QStringLiteral("cannot open a UDP socket: %1").arg(socket.errorString()));
    }
    const QByteArray request = discoveryRequest(invocation.password);
    if (socket.writeDatagram(request, address, endpoint->port) != request.size()) {
        return fail(exitFailure,
                    QStringLiteral("cannot send to %1: %2")
                        .arg(formatEndpoint(address, endpoint->port), socket.errorString()));
    }

    // Several servers may answer a broadcast, so listen for the whole time.
    const int timeoutMs = invocation.timeoutMs.value_or(defaultDiscoveryTimeoutMs);
    const QDeadlineTimer deadline(timeoutMs);
    int replies = 0;
    while (!deadline.hasExpired() && socket.waitForReadyRead(remaining(deadline))) {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram reply = socket.receiveDatagram();
            printLine(stdout, formatEndpoint(reply.senderAddress(), quint16(reply.senderPort())) +
                                  u' ' + replyLine(reply.data()));
            ++replies;
        }
    }
    if (replies == 0)
        return fail(exitFailure, QStringLiteral("no reply within %1 ms").arg(timeoutMs));
    return exitSuccess;
}

std::optional<int> parseTimeout(const QString &text)
{
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zanti-remote"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZANTI_REMOTE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Talks to a Zanti Connect server the way the phone app does.\n"
        "\n"
        "Commands:\n"
        "  send [--tcp] [--password P] [--timeout MS] HOST[:PORT] REQUEST\n"
        "      Sends one command message, e.g. REQUEST \"/keyboard?key=enter\". Over UDP\n"
        "      (the default) nothing answers; with --tcp the server answers \"success\".\n"
        "  discover [--password P] [--timeout MS] [HOST[:PORT]]\n"
        "      Sends a discovery request, broadcast unless HOST is given, and prints\n"
        "      every reply as the sender, then the reply.\n"
        "\n"
        "HOST is a name, an IPv4 address or an IPv6 address in brackets ([::1]:5916).\n"
        "PORT defaults to 5916.\n"
        "Exit status: 0 on success, 1 when the network fails or no proper answer comes,\n"
        "2 on misuse."));
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("send or discover"),
                                 QStringLiteral("command [arguments]"));
    const QCommandLineOption tcpOption(
        QStringLiteral("tcp"), QStringLiteral("send: use TCP and wait for the server's answer."));
    const QCommandLineOption passwordOption(QStringLiteral("password"),
                                            QStringLiteral("The server's password, if it has one."),
                                            QStringLiteral("P"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("How long to wait for answers (send --tcp: %1, discover: %2).")
            .arg(defaultTcpTimeoutMs)
            .arg(defaultDiscoveryTimeoutMs),
        QStringLiteral("MS"));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Show the version."));
    parser.addOptions({tcpOption, passwordOption, timeoutOption, helpOption, versionOption});

    if (!parser.parse(QCoreApplication::arguments()))
        return misuse(parser.errorText(), QStringLiteral("Try 'zanti-remote --help'."));
    if (parser.isSet(helpOption)) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        return exitSuccess;
    }
    if (parser.isSet(versionOption)) {
        printLine(stdout, QStringLiteral("zanti-remote ") + QCoreApplication::applicationVersion());
        return exitSuccess;
    }

    Invocation invocation;
    invocation.arguments = parser.positionalArguments();
    if (invocation.arguments.isEmpty())
        return misuse(QStringLiteral("missing command"), parser.helpText().trimmed());
    const QString command = invocation.arguments.takeFirst();
    invocation.tcp = parser.isSet(tcpOption);
    if (parser.isSet(passwordOption))
        invocation.password = parser.value(passwordOption);
    if (parser.isSet(timeoutOption)) {
        invocation.timeoutMs = parseTimeout(parser.value(timeoutOption));
        if (!invocation.timeoutMs) {
            return fail(exitUsage, QStringLiteral("bad --timeout '%1': expected milliseconds, "
                                                  "a whole number from 1")
                                       .arg(parser.value(timeoutOption)));
        }
    }

    if (command == u"send")
        return runSend(invocation);
    if (command == u"discover")
        return runDiscover(invocation);
    return misuse(QStringLiteral("unknown command '%1'").arg(command),
                  sendUsage() + u'\n' + discoverUsage());
}

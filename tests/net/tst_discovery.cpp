#include "commandstack.h"
#include "udpserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

using namespace zc;
using namespace zc::test;

namespace {

enum class Outcome
{
    None,
    Full,
    Reduced
};

const QJsonValue omitted{QJsonValue::Undefined};
const QJsonValue goodKey{QString(applicationKey)};

QByteArray compact(const QJsonArray &array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

// A discovery request; an omitted value leaves its member out.
QByteArray request(const QJsonValue &key, const QJsonValue &password = omitted)
{
    QJsonObject first;
    if (!key.isUndefined())
        first.insert(QStringLiteral("app_authentication_key"), key);
    if (!password.isUndefined())
        first.insert(QStringLiteral("zanti_server_password"), password);
    return compact({first});
}

} // namespace

Q_DECLARE_METATYPE(Outcome)

// A server on a free port, and phones on two loopback hosts: 127.0.0.1 and 127.0.0.2.
class TestDiscovery : public QObject
{
    Q_OBJECT

    std::unique_ptr<CommandStack> stack;
    std::unique_ptr<UDPServer> server;
    std::unique_ptr<QUdpSocket> phone;
    std::unique_ptr<QUdpSocket> otherPhone;
    int handled = 0;

    // Sends and waits until the server has handled the datagram; a reply, if any, is then
    // already in the phone's receive buffer.
    void send(QUdpSocket &from, const QByteArray &datagram)
    {
        QCOMPARE(from.writeDatagram(datagram, QHostAddress::LocalHost, server->localPort()),
                 datagram.size());
        ++handled;
        QTRY_COMPARE(stack->capture.lines().filter(QStringLiteral("incoming message: ")).size(),
                     handled);
    }

    std::optional<QJsonObject> reply(QUdpSocket &to)
    {
        if (!to.hasPendingDatagrams())
            return std::nullopt;
        const QNetworkDatagram datagram = to.receiveDatagram();
        [&] { QCOMPARE(datagram.senderPort(), int(server->localPort())); }();
        return QJsonDocument::fromJson(datagram.data()).object();
    }

private slots:
    void init()
    {
        handled = 0;
        stack = std::make_unique<CommandStack>();
        server = std::make_unique<UDPServer>(stack->handler, stack->responder, stack->capture.log);
        server->startServer(0);
        QVERIFY(server->isServerRunning());
        phone = std::make_unique<QUdpSocket>();
        QVERIFY(phone->bind(QHostAddress::LocalHost, 0));
        otherPhone = std::make_unique<QUdpSocket>();
        QVERIFY(otherPhone->bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    }

    void cleanup()
    {
        server.reset();
        stack.reset();
    }

    void decisionTable_data()
    {
        QTest::addColumn<bool>("authentication");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<Outcome>("outcome");

        QTest::newRow("off, any password")
            << false << "pw" << request(goodKey, "no") << Outcome::Full;
        QTest::newRow("off, no password") << false << "pw" << request(goodKey) << Outcome::Full;
        QTest::newRow("wrong key") << false << "" << request("Q7w4R") << Outcome::None;
        QTest::newRow("key in other case")
            << false << "" << request(goodKey.toString().toLower()) << Outcome::None;
        QTest::newRow("no key") << false << "" << request(omitted, "pw") << Outcome::None;
        QTest::newRow("numeric key") << false << "" << request(7) << Outcome::None;
        QTest::newRow("on, right password")
            << true << "pw" << request(goodKey, "pw") << Outcome::Full;
        QTest::newRow("on, wrong password")
            << true << "pw" << request(goodKey, "PW") << Outcome::Reduced;
        QTest::newRow("on, no password") << true << "pw" << request(goodKey) << Outcome::Reduced;
        QTest::newRow("on, numeric password")
            << true << "12" << request(goodKey, 12) << Outcome::None;
        QTest::newRow("on, empty password stored and sent")
            << true << "" << request(goodKey, "") << Outcome::Full;
        QTest::newRow("on, empty password stored, none sent")
            << true << "" << request(goodKey) << Outcome::Reduced;
        QTest::newRow("only the first element counts")
            << false << ""
            << compact({QJsonObject{{"x", 1}}, QJsonObject{{"app_authentication_key", goodKey}}})
            << Outcome::None;
    }

    void decisionTable()
    {
        QFETCH(bool, authentication);
        QFETCH(QString, password);
        QFETCH(QByteArray, datagram);
        QFETCH(Outcome, outcome);
        stack->preferences.setIsAuthenticationEnabled(authentication);
        stack->preferences.setServerAuthenticationPassword(password);
        stack->preferences.setVLCPassword(QStringLiteral("vlcsecret"));

        send(*phone, datagram);
        const std::optional<QJsonObject> answer = reply(*phone);
        QCOMPARE(answer.has_value(), outcome != Outcome::None);
        QVERIFY(!phone->hasPendingDatagrams());
        // Only the full reply tells the VLC password, and no log line tells any password.
        if (answer)
            QCOMPARE(answer->value("vlc_password"),
                     QJsonValue(outcome == Outcome::Full ? "vlcsecret" : ""));
        const QString log = stack->capture.lines().join(u'\n');
        QVERIFY(!log.contains(QLatin1String("vlcsecret")));
        const QJsonValue sent =
            QJsonDocument::fromJson(datagram).array().at(0)[QLatin1String("zanti_server_password")];
        if (!sent.toString().isEmpty())
            QVERIFY(!log.contains(u'"' + sent.toString() + u'"'));
    }

    void repliesGoOnlyToHostsThatAsked()
    {
        send(*phone, request(goodKey));
        QVERIFY(reply(*phone));

        // The phone's commands are executed and answered; another host's are executed only.
        send(*phone, keyCommand(1, "enter"));
        QVERIFY(reply(*phone));
        send(*otherPhone, keyCommand(2, "tab"));
        QVERIFY(!reply(*otherPhone));
        QCOMPARE(stack->desktop.calls.size(), 4);

        // Another host's bad request silences only that host.
        send(*otherPhone, request("wrong"));
        QVERIFY(!reply(*otherPhone));
        send(*phone, keyCommand(3, "enter"));
        QVERIFY(reply(*phone));

        // The phone's own wrong request silences it, until a right one comes.
        send(*phone, request("wrong"));
        QVERIFY(!reply(*phone));
        send(*phone, keyCommand(4, "esc"));
        QVERIFY(!reply(*phone));
        send(*phone, request(goodKey));
        QVERIFY(reply(*phone));
    }

    // Only what a phone sends is answered: anything else would let a forged sender address
    // turn the smallest datagram into a reply six times its size.
    void onlyCommandsAndRequestsAreAnswered_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("answered");
        QTest::newRow("command message") << keyCommand(1, "enter") << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("not JSON") << QByteArray("garbage") << false;
        QTest::newRow("number") << QByteArray("42") << false;
        QTest::newRow("string") << QByteArray("\"x\"") << false;
        QTest::newRow("array of no object") << QByteArray("[1]") << false;
    }

    void onlyCommandsAndRequestsAreAnswered()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, answered);
        send(*phone, request(goodKey));
        QVERIFY(reply(*phone));
        // The reply is kept encoded between requests, yet shows every change.
        stack->preferences.setVLCPassword(QStringLiteral("changed"));
        send(*phone, datagram);
        const std::optional<QJsonObject> answer = reply(*phone);
        QCOMPARE(answer.has_value(), answered);
        if (answer)
            QCOMPARE(answer->value("vlc_password"), QJsonValue("changed"));
    }

    // A host gets a burst of replies, then as many a second as it earns; what is held back is
    // logged once the burst is over.
    void repliesAreRationedPerHost()
    {
        std::chrono::steady_clock::time_point time;
        stack->responder.now = [&time] { return time; };
        const auto replies = [this](QUdpSocket &to) {
            int count = 0;
            for (; reply(to); ++count) {
            }
            return count;
        };
        for (int i = 0; i < DiscoveryResponder::replyBurst + 5; ++i)
            send(*phone, request(goodKey));
        send(*otherPhone, request(goodKey));
        QCOMPARE(replies(*phone), DiscoveryResponder::replyBurst);
        QCOMPARE(replies(*otherPhone), 1);
        time += std::chrono::milliseconds(100);
        send(*phone, request(goodKey));
        send(*phone, request(goodKey));
        QCOMPARE(replies(*phone), 2);
        QVERIFY(!stack->capture.lines().join(u'\n').contains(QLatin1String("Withheld")));
        time += DiscoveryResponder::burstEnd;
        send(*phone, request(goodKey));
        QCOMPARE(replies(*phone), 1);
        QCOMPARE(stack->capture.lines().filter(QLatin1String("Withheld")),
                 QStringList{"Withheld 5 discovery replies to 127.0.0.1 beyond 20 a second"});
    }

    void oldestHostIsForgotten()
    {
        DiscoveryResponder &responder = stack->responder;
        const QJsonArray accepted{QJsonObject{{"app_authentication_key", goodKey}}};
        const auto host = [](int i) { return QHostAddress(quint32(0x0a000000 + i)); };
        for (int i = 0; i <= DiscoveryResponder::maximumHosts; ++i)
            responder.intake(accepted, host(i));

        int replies = 0;
        const auto count = [&replies](const QByteArray &) { ++replies; };
        responder.credentialCheck(10, host(0), true, count);
        QCOMPARE(replies, 0);
        responder.credentialCheck(10, host(1), true, count);
        responder.credentialCheck(10, host(DiscoveryResponder::maximumHosts), true, count);
        QCOMPARE(replies, 2);
        // An IPv4 phone reaching a dual-stack socket is the same host.
        responder.credentialCheck(10, QHostAddress(QStringLiteral("::ffff:10.0.0.1")), true, count);
        QCOMPARE(replies, 3);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"

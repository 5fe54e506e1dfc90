#include "commanddatagram.h"
#include "commandstack.h"
#include "logcapture.h"
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

QByteArray request(const QJsonObject &credentials)
{
    return QJsonDocument(QJsonArray{credentials}).toJson(QJsonDocument::Compact);
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

        const QString key = applicationKey;
        QTest::newRow("off, any password")
            << false << "pw"
            << request({{"app_authentication_key", key}, {"zanti_server_password", "nope"}})
            << Outcome::Full;
        QTest::newRow("off, no password")
            << false << "pw" << request({{"app_authentication_key", key}}) << Outcome::Full;
        QTest::newRow("wrong key")
            << false << "" << request({{"app_authentication_key", "Q7w4R"}}) << Outcome::None;
        QTest::newRow("key in other case")
            << false << "" << request({{"app_authentication_key", key.toLower()}}) << Outcome::None;
        QTest::newRow("no key") << false << "" << request({{"zanti_server_password", "pw"}})
                                << Outcome::None;
        QTest::newRow("numeric key")
            << false << "" << request({{"app_authentication_key", 7}}) << Outcome::None;
        QTest::newRow("on, right password")
            << true << "pw"
            << request({{"app_authentication_key", key}, {"zanti_server_password", "pw"}})
            << Outcome::Full;
        QTest::newRow("on, wrong password")
            << true << "pw"
            << request({{"app_authentication_key", key}, {"zanti_server_password", "PW"}})
            << Outcome::Reduced;
        QTest::newRow("on, no password")
            << true << "pw" << request({{"app_authentication_key", key}}) << Outcome::Reduced;
        QTest::newRow("on, numeric password")
            << true << "12"
            << request({{"app_authentication_key", key}, {"zanti_server_password", 12}})
            << Outcome::None;
        QTest::newRow("on, empty password stored and sent")
            << true << ""
            << request({{"app_authentication_key", key}, {"zanti_server_password", ""}})
            << Outcome::Full;
        QTest::newRow("on, empty password stored, none sent")
            << true << "" << request({{"app_authentication_key", key}}) << Outcome::Reduced;
        QTest::newRow("only the first element counts")
            << false << ""
            << QJsonDocument(
                   QJsonArray{QJsonObject{{"x", 1}}, QJsonObject{{"app_authentication_key", key}}})
                   .toJson(QJsonDocument::Compact)
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
        const QStringList lines = stack->capture.lines();
        QCOMPARE(lines.contains(QStringLiteral("Response is nil")), outcome == Outcome::None);
        QVERIFY(!lines.join(u'\n').contains(QLatin1String("vlcsecret")));
        if (!password.isEmpty())
            QVERIFY(!lines.join(u'\n').contains(QLatin1String("\"") + password));
        if (outcome == Outcome::None)
            return;
        QCOMPARE(answer->size(), 10);
        for (const QJsonValue &value : *answer)
            QVERIFY(value.isString());
        QCOMPARE(answer->value("device_name"), QJsonValue("workstation"));
        QCOMPARE(answer->value("is_authentication_enabled"),
                 QJsonValue(authentication ? "true" : "false"));
        if (outcome == Outcome::Full) {
            QCOMPARE(answer->value("web_server_port"), QJsonValue("5916"));
            QCOMPARE(answer->value("tcp_server_port"), QJsonValue("5916"));
            QCOMPARE(answer->value("vlc_port"), QJsonValue("8080"));
            QCOMPARE(answer->value("vlc_password"), QJsonValue("vlcsecret"));
            QCOMPARE(answer->value("system_os"), QJsonValue("Linux - 6.1.0"));
        } else {
            QCOMPARE(answer->value("web_server_port"), QJsonValue(""));
            QCOMPARE(answer->value("vlc_password"), QJsonValue(""));
        }
        QVERIFY(lines.contains(QStringLiteral("Data Sent")));
    }

    void repliesGoOnlyToHostsThatAsked()
    {
        const QByteArray accepted = request({{"app_authentication_key", applicationKey}});
        send(*phone, accepted);
        QVERIFY(reply(*phone));

        // The phone's commands are executed and answered; another host's are executed only.
        send(*phone, commandDatagram(1, "/keyboard?key=enter"));
        QVERIFY(reply(*phone));
        send(*otherPhone, commandDatagram(2, "/keyboard?key=tab"));
        QVERIFY(!reply(*otherPhone));
        QCOMPARE(stack->desktop.calls.size(), 4);

        // Another host's bad request silences only that host.
        send(*otherPhone, request({{"app_authentication_key", "wrong"}}));
        QVERIFY(!reply(*otherPhone));
        send(*phone, "garbage");
        QVERIFY(reply(*phone));

        // The phone's own wrong request silences it, until a right one comes.
        send(*phone, request({{"app_authentication_key", "wrong"}}));
        QVERIFY(!reply(*phone));
        send(*phone, commandDatagram(3, "/keyboard?key=esc"));
        QVERIFY(!reply(*phone));
        send(*phone, accepted);
        QVERIFY(reply(*phone));
    }

    void acceptedHostSurvivesARestart()
    {
        send(*phone, request({{"app_authentication_key", applicationKey}}));
        QVERIFY(reply(*phone));
        server->stopServer();
        server->startServer(0);
        send(*phone, "{}");
        QVERIFY(reply(*phone));
    }

    void logShowsTheCheckInOrder()
    {
        stack->preferences.setIsAuthenticationEnabled(true);
        stack->preferences.setServerAuthenticationPassword(QStringLiteral("pw"));
        stack->capture.clear();
        const QByteArray datagramSent = request(
            {{"app_authentication_key", applicationKey}, {"zanti_server_password", "guess"}});
        send(*phone, datagramSent);
        QVERIFY(reply(*phone));
        const QStringList lines = stack->capture.lines();
        const QString datagram = QStringLiteral(
            R"([{"app_authentication_key":"Q7w4R#2k81M5T!x09P3Z","zanti_server_password":"******"}])");
        const qsizetype start = lines.indexOf(QStringLiteral("******"));
        QVERIFY(start > 0);
        // The datagram as received, then the request and its first element as kept.
        QCOMPARE(lines.mid(0, 3),
                 (QStringList{datagram, datagram, datagram.mid(1, datagram.size() - 2)}));
        QCOMPARE(lines.mid(start, 6),
                 (QStringList{"******",
                              QStringLiteral("incoming message: %1 bytes").arg(datagramSent.size()),
                              "true", "true", "****** ******", "true"}));
        QVERIFY(lines.at(start + 7).startsWith(QLatin1String("UDPResponse(")));
        QCOMPARE(lines.last(), lines.at(start + 7));
    }
};

// The responder alone: how many hosts it remembers.
class TestDiscoveryHosts : public QObject
{
    Q_OBJECT

private slots:
    void oldestHostIsForgotten()
    {
        CommandStack stack;
        DiscoveryResponder &responder = stack.responder;
        const QJsonArray accepted{QJsonObject{{"app_authentication_key", applicationKey}}};
        const auto host = [](int i) { return QHostAddress(quint32(0x0a000000 + i)); };
        for (int i = 0; i <= DiscoveryResponder::maximumHosts; ++i)
            responder.intake(accepted, host(i));

        int replies = 0;
        const auto count = [&replies](const QByteArray &) { ++replies; };
        responder.credentialCheck(10, host(0), count);
        QCOMPARE(replies, 0);
        responder.credentialCheck(10, host(1), count);
        responder.credentialCheck(10, host(DiscoveryResponder::maximumHosts), count);
        QCOMPARE(replies, 2);
        // An IPv4 phone reaching a dual-stack socket is the same host.
        responder.credentialCheck(10, QHostAddress(QStringLiteral("::ffff:10.0.0.1")), count);
        QCOMPARE(replies, 3);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestDiscovery discovery;
    TestDiscoveryHosts hosts;
    return QTest::qExec(&discovery, argc, argv) | QTest::qExec(&hosts, argc, argv);
}

#include "tst_discovery.moc"

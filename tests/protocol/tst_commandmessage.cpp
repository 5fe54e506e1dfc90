#include "commandmessage.h"
#include "logcapture.h"
#include "secretmask.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

using Kind = DecodedDatagram::Kind;
Q_DECLARE_METATYPE(DecodedDatagram::Kind)

namespace {

// JSON written with single quotes, to keep the rows readable.
QByteArray j(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

} // namespace

class TestCommandMessage : public QObject
{
    Q_OBJECT

private slots:
    // The first log line echoes the datagram, masked; it must never carry a password or bytes
    // that are not text.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("echo");

        QTest::newRow("command message")
            << j("{'password':'pw','sentTime':'1'}") << Kind::CommandMessage
            << j("{'password':'******','sentTime':'1'}");
        QTest::newRow("discovery request")
            << j("[{'app_authentication_key':'k','zanti_server_password':'pw'}]")
            << Kind::DiscoveryRequest
            << j("[{'app_authentication_key':'k','zanti_server_password':'******'}]");
        QTest::newRow("not JSON") << QByteArray("hello") << Kind::Unusable << QByteArray("hello");
        QTest::newRow("empty datagram") << QByteArray() << Kind::Unusable << QByteArray();
        QTest::newRow("two values") << QByteArray("{} {}") << Kind::Unusable << QByteArray("{} {}");
        QTest::newRow("values that would fill an array")
            << QByteArray("1],[2") << Kind::Unusable << QByteArray("1],[2");
        QTest::newRow("bare number") << QByteArray("5") << Kind::Unusable << QByteArray("5");
        QTest::newRow("empty array") << QByteArray("[]") << Kind::Unusable << QByteArray("[]");
        QTest::newRow("array of strings") << j("['x']") << Kind::Unusable << j("['x']");
        QTest::newRow("not UTF-8")
            << QByteArray("{\"a\":\"\xff\xfe\"}") << Kind::Unusable
            << QByteArray("Ignoring a datagram of 10 bytes: it is not UTF-8 text");
        QTest::newRow("pretty printed stays one line")
            << QByteArray("{\n\"sentTime\": \"1\"\n}") << Kind::CommandMessage
            << QByteArray("{\\n\"sentTime\": \"1\"\\n}");
        // A flood is shown by its start and its length, whatever its size.
        QTest::newRow("deeply nested")
            << QByteArray(100000, '[') << Kind::Unusable
            << QByteArray(PasswordMasker::shownBytes, '[') + "... (100000 bytes in all)";
    }

    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Kind, kind);
        QFETCH(QByteArray, echo);
        LogCapture capture;
        QCOMPARE(decodeDatagram(bytes, capture.log).kind, kind);
        QCOMPARE(capture.lines().value(0), QString::fromUtf8(echo));
    }

    void mask_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("masked");

        QTest::newRow("command message")
            << j("{'appAuthenticationKey':'k','password':'pw','request':'/x'}")
            << j("{'appAuthenticationKey':'k','password':'******','request':'/x'}");
        QTest::newRow("spaces around the colon")
            << j("{'password' :  'a b'}") << j("{'password' :  '******'}");
        QTest::newRow("escaped quote in the value")
            << j("{'password':'a\\'b','x':'y'}") << j("{'password':'******','x':'y'}");
        QTest::newRow("empty password") << j("{'password':''}") << j("{'password':'******'}");
        QTest::newRow("number") << j("{'password':1234,'x':1}") << j("{'password':******,'x':1}");
        QTest::newRow("truncated value") << j("{'password':'secr") << j("{'password':'******");
        QTest::newRow("any case, any name holding the word")
            << j("{'vlcPassword':'a','zanticonnect.serverAuthenticationPassword':'b'}")
            << j("{'vlcPassword':'******','zanticonnect.serverAuthenticationPassword':'******'}");
        QTest::newRow("escaped name")
            << j("{'pass\\u0077ord':'pw'}") << j("{'pass\\u0077ord':'******'}");
        QTest::newRow("the word as a value is not a name")
            << j("{'request':'password','x':'pw'}") << j("{'request':'password','x':'pw'}");
        QTest::newRow("not JSON after all")
            << j("garbage 'password': 'pw' more") << j("garbage 'password': '******' more");
        QTest::newRow("object value")
            << j("{'password':{'a':'}'},'x':1}") << j("{'password':******,'x':1}");
        QTest::newRow("array value in a discovery request")
            << j("[{'zanti_server_password':['pw',['q']],'app_authentication_key':'k'}]")
            << j("[{'zanti_server_password':******,'app_authentication_key':'k'}]");
        QTest::newRow("unclosed array value")
            << j("{'password':[{'p':'pw'}") << j("{'password':******");
        // Typed text may be a password too: only its length is shown, however it is spelt.
        QTest::newRow("typed text")
            << j("{'request':'/keyboard?key=textinput&value=hunter2','p':'/x?value=y'}")
            << j("{'request':'/keyboard?key=textinput&value=<7 characters>','p':'/x?value=y'}");
        QTest::newRow("typed text in escapes and percent-encodings")
            << j("{'r':'\\/k?valu%65=a%20b\\u00e9&&k%65y=text\\u0069nput&value'}")
            << j("{'r':'/k?value=<4 characters>&&k%65y=textinput&value'}");
        QTest::newRow("truncated typed text")
            << j("{'request':'/keyboard?key=textinput&value=secr")
            << j("{'request':'/keyboard?key=textinput&value=<4 characters>");
        QTest::newRow("a string too long to check shows as its length")
            << j("{'r':'/k?key=textinput&value=") + QByteArray(5000, 'x') + j("'}")
            << j("{'r':'<5023 bytes>'}");
        QTest::newRow("a long name is taken for a password's")
            << j("{'") + QByteArray(5000, 'x') + j("':'pw'}") << j("{'<5000 bytes>':'******'}");
        QTest::newRow("a long text is cut, and the next one shown")
            << '[' + QByteArray(3000, '1').replace("1", "1,") + "1]{}"
            << '[' + QByteArray(3000, '1').replace("1", "1,").left(PasswordMasker::shownBytes - 1) +
                   "... (6003 bytes in all){}";
        // Outside objects and arrays every bracket starts a text, as a stream frames them.
        QTest::newRow("stray quote in garbage before a message")
            << j("x'\n{'password':'hunter2secret','x':'y'}")
            << j("x'\n{'password':'******','x':'y'}");
        QTest::newRow("unclosed password in garbage before a message")
            << j("'password':'ab{'password':'pw'}") << j("'password':'******{'password':'******'}");
        QTest::newRow("a bracket ends a masked number")
            << j("{'password':1{'k':'x'},'a':'{','password':'pw'}")
            << j("{'password':******{'k':'x'},'a':'{','password':'******'}");
        QTest::newRow("a member without a value") << j("{'password':} x' {'password':'pw'}")
                                                  << j("{'password':} x' {'password':'******'}");
    }

    void mask()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, masked);
        QCOMPARE(maskPasswords(json), masked);
        // However a stream cuts the text, the pieces are masked as the whole is.
        for (qsizetype cut = 0; cut <= json.size(); ++cut) {
            PasswordMasker masker;
            QByteArray pieces = masker.feed(json.first(cut));
            pieces += masker.feed(json.sliced(cut));
            pieces += masker.finish();
            QCOMPARE(pieces, masked);
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandMessage)
#include "tst_commandmessage.moc"

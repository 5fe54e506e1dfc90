#include "messagestream.h"

#include <QTest>

using namespace zc;
using Kind = MessageStream::Frame::Kind;

class TestMessageStream : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("frames");

        const QByteArray big = "{\"v\":\"" + QByteArray(MessageStream::maximumPending, 'x');
        QTest::newRow("two in one read") << QList<QByteArray>{"{\"a\":1}{\"b\":2}"}
                                         << QStringList{"text:{\"a\":1}", "text:{\"b\":2}"};
        QTest::newRow("split over reads")
            << QList<QByteArray>{"{\"a\":", "[1,2", "]}"} << QStringList{"text:{\"a\":[1,2]}"};
        QTest::newRow("brackets and quotes inside strings")
            << QList<QByteArray>{"{\"v\":\"}]\\\"{[\"}"}
            << QStringList{"text:{\"v\":\"}]\\\"{[\"}"};
        QTest::newRow("escaped backslash before a quote")
            << QList<QByteArray>{"{\"v\":\"\\\\\"}{\"w\":1}"}
            << QStringList{"text:{\"v\":\"\\\\\"}", "text:{\"w\":1}"};
        QTest::newRow("whitespace between")
            << QList<QByteArray>{" \r\n{}\n\t[] "} << QStringList{"text:{}", "text:[]"};
        QTest::newRow("garbage before and between")
            << QList<QByteArray>{"hello{}", "42 \"x\" {}"}
            << QStringList{"garbage:hello", "text:{}", "garbage:42 \"x\" ", "text:{}"};
        QTest::newRow("multi-byte character split")
            << QList<QByteArray>{"{\"v\":\"\xc3", "\xa9\"}"} << QStringList{"text:{\"v\":\"é\"}"};
        const QByteArray atBound = '{' + QByteArray(MessageStream::maximumPending - 1, ' ');
        QTest::newRow("unfinished text at the bound still waits")
            << QList<QByteArray>{atBound, "}"} << QStringList{"text:" + atBound + '}'};
        QTest::newRow("oversized unfinished text is dropped, the stream goes on")
            << QList<QByteArray>{big, "\"}", "{\"after\":1}"}
            << QStringList{QStringLiteral("overflow:%1").arg(big.size()), "garbage:\"}",
                           "text:{\"after\":1}"};
    }

    void split()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QStringList, frames);
        MessageStream stream;
        QStringList out;
        for (const QByteArray &read : reads) {
            stream.append(read);
            while (const std::optional<MessageStream::Frame> frame = stream.next()) {
                if (frame->kind == Kind::Overflow)
                    out.append(QStringLiteral("overflow:%1").arg(frame->bytes.size()));
                else
                    out.append(QLatin1String(frame->kind == Kind::Text ? "text:" : "garbage:") +
                               QString::fromUtf8(frame->bytes));
            }
        }
        QCOMPARE(out, frames);
    }
};

QTEST_GUILESS_MAIN(TestMessageStream)
#include "tst_messagestream.moc"

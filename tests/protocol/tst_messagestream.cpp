#include "messagestream.h"

#include <QTest>

using namespace zc;
using Kind = MessageStream::Frame::Kind;

namespace {

// Feeds the reads in turn and describes every frame: "text:<bytes>", "garbage:<bytes>",
// "overflow:<size>".
QStringList frames(const QList<QByteArray> &reads)
{
    MessageStream stream;
    QStringList out;
    for (const QByteArray &read : reads) {
        stream.append(read);
        while (const std::optional<MessageStream::Frame> frame = stream.next()) {
            switch (frame->kind) {
            case Kind::Text:
                out.append(QStringLiteral("text:") + QString::fromUtf8(frame->bytes));
                break;
            case Kind::Garbage:
                out.append(QStringLiteral("garbage:") + QString::fromUtf8(frame->bytes));
                break;
            case Kind::Overflow:
                out.append(QStringLiteral("overflow:%1").arg(frame->bytes.size()));
                break;
            }
        }
    }
    return out;
}

} // namespace

class TestMessageStream : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("frames");

        QTest::newRow("one per read") << QList<QByteArray>{"{\"a\":1}", "{\"b\":2}"}
                                      << QStringList{"text:{\"a\":1}", "text:{\"b\":2}"};
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
        QTest::newRow("unfinished waits") << QList<QByteArray>{"{\"a\":1"} << QStringList{};
        QTest::newRow("multi-byte character split")
            << QList<QByteArray>{"{\"v\":\"\xc3", "\xa9\"}"} << QStringList{"text:{\"v\":\"é\"}"};
    }

    void split()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QStringList, frames);
        QCOMPARE(::frames(reads), frames);
    }

    void oversizedUnfinishedTextIsDropped()
    {
        const QByteArray big = "{\"v\":\"" + QByteArray(MessageStream::maximumPending, 'x');
        QCOMPARE(frames({big, "\"}", "{\"after\":1}"}),
                 (QStringList{QStringLiteral("overflow:%1").arg(big.size()), "garbage:\"}",
                              "text:{\"after\":1}"}));
        // Exactly at the bound it still waits.
        MessageStream stream;
        stream.append(QByteArray(1, '{') + QByteArray(MessageStream::maximumPending - 1, ' '));
        QVERIFY(!stream.next());
        QCOMPARE(stream.pending(), MessageStream::maximumPending);
    }
};

QTEST_GUILESS_MAIN(TestMessageStream)
#include "tst_messagestream.moc"

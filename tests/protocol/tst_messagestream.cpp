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

        const QString overflow = QStringLiteral("overflow:%1").arg(MessageStream::maximumPending);
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
        const QByteArray atBound = '{' + QByteArray(MessageStream::maximumPending - 2, ' ');
        QTest::newRow("unfinished text at the bound still waits")
            << QList<QByteArray>{atBound, "}"} << QStringList{"text:" + atBound + '}'};
        QTest::newRow("oversized unfinished text is dropped, the stream goes on")
            << QList<QByteArray>{big, "\"}", "{\"after\":1}"}
            << QStringList{overflow, "text:{\"after\":1}"};
        // Which texts are taken must not depend on how the reads cut the stream.
        QTest::newRow("oversized text is dropped even when it arrives whole")
            << QList<QByteArray>{big + "\"}{\"after\":1}"}
            << QStringList{overflow, "text:{\"after\":1}"};

        // The rest of a dropped text arrives after the drop; framing must resume where the
        // text really ends, not in its middle.
        const QByteArray oversized = "{\"v\":\"" + QByteArray(70 * 1024, 'x');
        const QByteArray command = "{\"request\":\"/keyboard?key=enter\",\"sentTime\":\"2\"}";
        QTest::newRow("a quote in the dropped text's rest does not swallow later texts")
            << QList<QByteArray>{oversized, "[x\"}" + command, command}
            << QStringList{overflow, "text:" + command, "text:" + command};
        QTest::newRow("a text inside the dropped text's string is not taken")
            << QList<QByteArray>{oversized, "}{\"request\":\"/keyboard?key=enter\"}\"}", command}
            << QStringList{overflow, "text:" + command};
        // The middle read alone is beyond the bound, and the escape is split between reads.
        const QByteArray nested = "{\"a\":[{\"v\":\"" + QByteArray(70 * 1024, 'x');
        QTest::newRow("dropped text ending reads later")
            << QList<QByteArray>{nested, QByteArray(MessageStream::maximumPending, 'y') + "{\\",
                                 "\"]}\"}]", "}" + command}
            << QStringList{overflow, "text:" + command};
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
            // What is dropped must not be buffered either.
            QVERIFY(stream.pending() <= MessageStream::maximumPending);
        }
        QCOMPARE(out, frames);
    }
};

QTEST_GUILESS_MAIN(TestMessageStream)
#include "tst_messagestream.moc"

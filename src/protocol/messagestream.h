#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace zc {

// Splits the bytes of a stream connection into the JSON texts it carries, however the reads
// cut them: several texts in one read, or one text over several reads. Only objects and arrays
// are texts; anything between them is garbage, handed out separately so that it can be
// reported and skipped.
class MessageStream
{
public:
    struct Frame
    {
        enum class Kind
        {
            Text,
            Garbage,
            Overflow
        };
        Kind kind;
        QByteArray bytes;
    };

    // An unfinished text longer than this is dropped rather than buffered further; the rest of it
    // is skipped as it arrives.
    static constexpr qsizetype maximumPending = 64 * 1024;

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // The next complete text, garbage run or overflow; nothing while a text is still unfinished.
    std::optional<Frame> next();
    qsizetype pending() const { return m_buffer.size(); }

private:
    // Follows one object or array byte by byte: how deep it is nested and whether a string or
    // an escape in it is open, so that the bytes need not be kept.
    class Scanner
    {
    public:
        // One past the byte of `bytes` that closes the outermost object or array, or nothing
        // while it stays open.
        std::optional<qsizetype> feed(QByteArrayView bytes);

    private:
        bool closes(char c);

        qsizetype m_depth = 0;
        bool m_inString = false;
        bool m_escaped = false;
    };

    bool skipDropped();

    QByteArray m_buffer;
    // While the rest of a text dropped for its length is still arriving: its bytes are thrown
    // away as they come, else they would be taken for texts and garbage of their own.
    std::optional<Scanner> m_dropped;
};

} // namespace zc

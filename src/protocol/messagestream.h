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

    // An unfinished text longer than this is dropped rather than buffered further.
    static constexpr qsizetype maximumPending = 64 * 1024;

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // The next complete text, garbage run or overflow; nothing while a text is still unfinished.
    std::optional<Frame> next();
    qsizetype pending() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
};

} // namespace zc

#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>

namespace zc {

// Follows a stream of JSON texts byte by byte: how deep the current object or array is nested
// and whether a string or an escape is open. Outside objects and arrays everything is garbage,
// and an opening bracket there always starts a text, even inside a quote that garbage left open.
// The stream framing and the log's password masking both follow the bytes with it, so that
// they can never disagree about where a text starts or ends, or about what is inside a string.
class JsonScanner
{
public:
    enum class Event : std::uint8_t
    {
        Garbage,     // outside objects and arrays, and no quote
        Open,        // '{' or '['
        Close,       // '}' or ']' inside a text; depth() == 0 after it when the text ends
        Inside,      // anything else inside a text, outside strings
        StringStart, // the opening quote
        StringByte,  // a byte of a string's content, escapes as they are written
        StringEnd,   // the closing quote
        StringCut    // an opening bracket outside objects and arrays that ends an open string
    };

    Event step(char c);
    // How many bytes at the start of `bytes` step() would pass over one by one without a change
    // of state: string content other than a quote or backslash, or anything but brackets and
    // quotes outside strings. Their events are all StringByte, Inside or Garbage, as a string is
    // open, a text is, or neither; the caller handles such a run in one piece.
    qsizetype plainPrefix(QByteArrayView bytes) const;
    qsizetype depth() const { return m_depth; }
    bool inString() const { return m_inString; }

private:
    qsizetype m_depth = 0;
    bool m_inString = false;
    bool m_escaped = false;
};

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
        QByteArray bytes; // for an overflow, the first maximumPending bytes of the dropped text
    };

    // A text longer than this is dropped rather than buffered further, with the part of it that has
    // arrived; the rest of it is skipped as it arrives.
    static constexpr qsizetype maximumPending = 64 * 1024;

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // The next complete text, garbage run or overflow; nothing while a text is still unfinished.
    std::optional<Frame> next();
    qsizetype pending() const { return m_buffer.size(); }

private:
    bool skipDropped();

    QByteArray m_buffer;
    JsonScanner m_scanner;
    // How much of an unfinished text at the front of the buffer the scanner has seen already.
    qsizetype m_scanned = 0;
    // While the rest of a text dropped for its length is still arriving: its bytes are thrown
    // away as they come, else they would be taken for texts and garbage of their own.
    bool m_dropping = false;
};

} // namespace zc

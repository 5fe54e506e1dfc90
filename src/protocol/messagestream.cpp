#include "messagestream.h"

namespace zc {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool opensText(char c)
{
    return c == '{' || c == '[';
}

} // namespace

std::optional<qsizetype> MessageStream::Scanner::feed(QByteArrayView bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (closes(bytes[i]))
            return i + 1;
    }
    return std::nullopt;
}

// Whether `c` closes the outermost object or array; brackets inside strings do not count.
bool MessageStream::Scanner::closes(char c)
{
    if (m_inString) {
        if (m_escaped)
            m_escaped = false;
        else if (c == '\\')
            m_escaped = true;
        else if (c == '"')
            m_inString = false;
    } else if (c == '"') {
        m_inString = true;
    } else if (opensText(c)) {
        ++m_depth;
    } else if (c == '}' || c == ']') {
        return --m_depth == 0;
    }
    return false;
}

// Whether the dropped text has ended, so that framing can go on with what follows it.
bool MessageStream::skipDropped()
{
    const std::optional<qsizetype> end = m_dropped->feed(m_buffer);
    if (!end) {
        m_buffer.clear();
        return false;
    }
    m_buffer.remove(0, *end);
    m_dropped.reset();
    return true;
}

std::optional<MessageStream::Frame> MessageStream::next()
{
    if (m_dropped && !skipDropped())
        return std::nullopt;

    qsizetype start = 0;
    while (start < m_buffer.size() && isSpace(m_buffer[start]))
        ++start;
    m_buffer.remove(0, start);
    if (m_buffer.isEmpty())
        return std::nullopt;

    if (!opensText(m_buffer.front())) {
        qsizetype end = 1;
        while (end < m_buffer.size() && !opensText(m_buffer[end]))
            ++end;
        Frame garbage{Frame::Kind::Garbage, m_buffer.left(end)};
        m_buffer.remove(0, end);
        return garbage;
    }
    Scanner scanner;
    if (const std::optional<qsizetype> end = scanner.feed(m_buffer)) {
        Frame text{Frame::Kind::Text, m_buffer.left(*end)};
        m_buffer.remove(0, *end);
        return text;
    }
    if (m_buffer.size() > maximumPending) {
        Frame overflow{Frame::Kind::Overflow, {}};
        overflow.bytes.swap(m_buffer);
        m_dropped = scanner;
        return overflow;
    }
    return std::nullopt;
}

} // namespace zc

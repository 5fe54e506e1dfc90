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

// One past the end of the object or array that starts at `start`, or nothing while it is
// unfinished. Brackets inside strings do not count.
std::optional<qsizetype> textEnd(const QByteArray &buffer, qsizetype start)
{
    qsizetype depth = 0;
    bool inString = false;
    for (qsizetype i = start; i < buffer.size(); ++i) {
        const char c = buffer[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (opensText(c)) {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0)
                return i + 1;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<MessageStream::Frame> MessageStream::next()
{
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
    if (const std::optional<qsizetype> end = textEnd(m_buffer, 0)) {
        Frame text{Frame::Kind::Text, m_buffer.left(*end)};
        m_buffer.remove(0, *end);
        return text;
    }
    if (m_buffer.size() > maximumPending) {
        Frame overflow{Frame::Kind::Overflow, {}};
        overflow.bytes.swap(m_buffer);
        return overflow;
    }
    return std::nullopt;
}

} // namespace zc

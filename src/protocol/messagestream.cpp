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

JsonScanner::Event JsonScanner::step(char c)
{
    if (m_inString) {
        if (m_depth == 0 && opensText(c)) {
            m_inString = false;
            m_escaped = false;
            ++m_depth;
            return Event::StringCut;
        }
        if (m_escaped) {
            m_escaped = false;
        } else if (c == '\\') {
            m_escaped = true;
        } else if (c == '"') {
            m_inString = false;
            return Event::StringEnd;
        }
        return Event::StringByte;
    }
    if (c == '"') {
        m_inString = true;
        return Event::StringStart;
    }
    if (opensText(c)) {
        ++m_depth;
        return Event::Open;
    }
    if (m_depth == 0)
        return Event::Garbage;
    if (c == '}' || c == ']') {
        --m_depth;
        return Event::Close;
    }
    return Event::Inside;
}

qsizetype JsonScanner::plainPrefix(QByteArrayView bytes) const
{
    const char *const begin = bytes.data();
    const char *const end = begin + bytes.size();
    const char *at = begin;
    if (m_inString) {
        if (m_escaped)
            return 0;
        // Outside texts an opening bracket ends even a string.
        if (m_depth == 0) {
            while (at != end && *at != '"' && *at != '\\' && !opensText(*at))
                ++at;
        } else {
            while (at != end && *at != '"' && *at != '\\')
                ++at;
        }
    } else {
        while (at != end && *at != '"' && !opensText(*at) && *at != '}' && *at != ']')
            ++at;
    }
    return at - begin;
}

// Whether the dropped text has ended, so that framing can go on with what follows it.
bool MessageStream::skipDropped()
{
    for (qsizetype i = 0; i < m_buffer.size(); ++i) {
        m_scanner.step(m_buffer[i]);
        if (m_scanner.depth() == 0) {
            m_buffer.remove(0, i + 1);
            m_dropping = false;
            return true;
        }
    }
    m_buffer.clear();
    return false;
}

std::optional<MessageStream::Frame> MessageStream::next()
{
    if (m_dropping && !skipDropped())
        return std::nullopt;

    if (m_scanner.depth() == 0) {
        qsizetype start = 0;
        while (start < m_buffer.size() && isSpace(m_buffer[start]))
            m_scanner.step(m_buffer[start++]);
        m_buffer.remove(0, start);
        if (m_buffer.isEmpty())
            return std::nullopt;
        if (!opensText(m_buffer.front())) {
            qsizetype end = 0;
            while (end < m_buffer.size() && !opensText(m_buffer[end]))
                m_scanner.step(m_buffer[end++]);
            Frame garbage{Frame::Kind::Garbage, m_buffer.left(end)};
            m_buffer.remove(0, end);
            return garbage;
        }
        m_scanned = 0;
    }
    // Only the bytes that arrived since the last call are new to the scanner. A text is dropped
    // as soon as it runs past the bound, whether or not its end has arrived already: which texts
    // are taken must not depend on how the reads cut the stream.
    for (; m_scanned < m_buffer.size(); ++m_scanned) {
        if (m_scanned == maximumPending) {
            Frame overflow{Frame::Kind::Overflow, m_buffer.left(m_scanned)};
            m_buffer.remove(0, m_scanned);
            m_scanned = 0;
            m_dropping = true;
            return overflow;
        }
        m_scanner.step(m_buffer[m_scanned]);
        if (m_scanner.depth() == 0) {
            Frame text{Frame::Kind::Text, m_buffer.left(m_scanned + 1)};
            m_buffer.remove(0, m_scanned + 1);
            m_scanned = 0;
            return text;
        }
    }
    return std::nullopt;
}

} // namespace zc

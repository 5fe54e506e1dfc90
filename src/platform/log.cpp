#include "log.h"

#include <QAbstractEventDispatcher>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <unistd.h>

namespace zc {

namespace {

void writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            // Nobody is reading any more (closed pipe, full disk): dropping the lines is all
            // that is left, and blocking or crashing would be worse.
            return;
        }
        data.remove_prefix(std::size_t(written));
    }
}

// The length of the well-formed UTF-8 sequence at `at` (lead byte 0x80 or above) when it is
// printable, else 0. C1 controls (NEL breaks lines, CSI starts escape sequences) and U+2028 and
// U+2029 are not printable. Nor is any byte outside a well-formed sequence (overlong forms,
// surrogates, truncated sequences): terminals decode such bytes each their own way, and an 8-bit
// one reads 0x80 to 0x9f as C1 controls. The caller escapes the lead byte alone and looks at the
// next one afresh, so a sequence that is escaped shows as one \xHH per byte.
std::size_t printableSequenceLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t k) -> unsigned {
        return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0;
    };
    const unsigned lead = byte(0);
    const unsigned second = byte(1);
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        // C2 80 to C2 9F are the C1 controls.
        if (lead == 0xc2)
            low = 0xa0;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
        if (lead == 0xe2 && second == 0x80 && (byte(2) == 0xa8 || byte(2) == 0xa9))
            return 0;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (second < low || second > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xbf)
            return 0;
    return length;
}

} // namespace

Log::Log(int fd) : m_sink([fd](std::string_view data) { writeAll(fd, data); })
{
    m_buffer.reserve(flushThreshold * 2);
}

Log::Log(Sink sink) : m_sink(std::move(sink))
{
    m_buffer.reserve(flushThreshold * 2);
}

Log::~Log()
{
    QObject::disconnect(m_idleFlush);
    flush();
}

void Log::flush()
{
    std::lock_guard lock(m_mutex);
    flushLocked();
}

void Log::flushLocked()
{
    if (m_buffer.empty())
        return;
    m_sink(m_buffer);
    m_buffer.clear();
}

void Log::flushWhenIdle()
{
    QObject::disconnect(m_idleFlush);
    if (auto *dispatcher = QAbstractEventDispatcher::instance())
        m_idleFlush = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                       dispatcher, [this] { flush(); });
}

void Log::appendEscaped(std::string_view utf8)
{
    const auto byteAt = [utf8](std::size_t i) { return static_cast<unsigned char>(utf8[i]); };
    std::size_t start = 0;
    std::size_t i = 0;
    for (;;) {
        // Printable ASCII (0x20 to 0x7e), nearly all of the log: a loop this small keeps the
        // command path as fast as it was before non-ASCII text was checked.
        while (i < utf8.size() && byteAt(i) - 0x20u < 0x5fu)
            ++i;
        if (i == utf8.size())
            break;
        const unsigned char c = byteAt(i);
        if (const std::size_t length = c >= 0x80 ? printableSequenceLength(utf8, i) : 0) {
            i += length;
            continue;
        }
        m_buffer.append(utf8.substr(start, i - start));
        appendEscapedByte(c);
        start = ++i;
    }
    m_buffer.append(utf8.substr(start));
}

void Log::appendEscapedByte(unsigned char c)
{
    static constexpr char hex[] = "0123456789abcdef";
    switch (c) {
    case '\n':
        m_buffer.append("\\n");
        break;
    case '\r':
        m_buffer.append("\\r");
        break;
    case '\t':
        m_buffer.append("\\t");
        break;
    default:
        m_buffer.append("\\x");
        m_buffer.push_back(hex[c >> 4]);
        m_buffer.push_back(hex[c & 0xf]);
    }
}

void Log::append(QStringView text)
{
    const QByteArray utf8 = text.toUtf8();
    append(QByteArrayView(utf8));
}

void Log::append(QLatin1String text)
{
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return c >= 0; });
    if (ascii)
        appendEscaped({text.data(), std::size_t(text.size())});
    else
        append(QString(text));
}

void Log::append(double value)
{
    m_buffer.append(formatDouble(value));
}

std::string formatDouble(double value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char text[64];
    const auto result = std::to_chars(std::begin(text), std::end(text), value);
    std::string out(text, result.ptr);
    if (out.find_first_of(".e") == std::string::npos)
        out.append(".0");
    return out;
}

} // namespace zc

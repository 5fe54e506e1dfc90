#include "log.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zc {

namespace {

// The descriptor to write the log to without blocking. Standard output is usually shared with
// the shell or terminal that started the program, and a non-blocking flag set on it would reach
// them too: a terminal or pipe is opened afresh for the log alone. A socket (the journal's) cannot
// be opened so and gets the flag itself; a regular file never stalls and is written as it is.
// Whether the descriptor is a new one of the log's own.
std::pair<int, bool> openNonBlocking(int fd)
{
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        return {fd, false};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0)
        return {own, true};
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return {fd, false};
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

Log::Log(int fd)
{
    std::tie(m_fd, m_ownsFd) = openNonBlocking(fd);
    m_buffer.reserve(flushThreshold * 2);
}

Log::Log(Sink sink) : m_sink(std::move(sink))
{
    m_buffer.reserve(flushThreshold * 2);
}

Log::~Log()
{
    QObject::disconnect(m_idleFlush);
    m_writable.reset();
    std::lock_guard lock(m_mutex);
    flushLocked();
    // The event loop is over: the last lines may wait a little for a slow reader, but not for
    // one that has stopped.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(500);
    while (m_fd >= 0 && m_written < m_buffer.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd output{m_fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&output, 1, int(left.count())) <= 0)
            break;
        flushLocked();
    }
    if (m_ownsFd)
        ::close(m_fd);
}

void Log::flush()
{
    std::lock_guard lock(m_mutex);
    flushLocked();
}

void Log::flushLocked()
{
    if (m_sink) {
        if (!m_buffer.empty())
            m_sink(m_buffer);
        m_buffer.clear();
        return;
    }
    // The count of dropped lines goes out once the output moves again, in their place.
    if (writeLocked() && m_dropped > 0) {
        m_buffer.append(std::to_string(m_dropped))
            .append(m_dropped == 1 ? " log line" : " log lines")
            .append(" dropped: the output took no more\n");
        m_dropped = 0;
        writeLocked();
    }
}

// Whether the output took anything.
bool Log::writeLocked()
{
    const std::size_t start = m_written;
    while (m_written < m_buffer.size()) {
        const ssize_t written =
            ::write(m_fd, m_buffer.data() + m_written, m_buffer.size() - m_written);
        if (written >= 0) {
            m_written += std::size_t(written);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const bool progress = m_written > start;
            m_buffer.erase(0, m_written);
            m_written = 0;
            // Only an event loop watching the output clears this; without one, every flush tries.
            m_waitingForOutput = m_writable != nullptr;
            return progress;
        }
        // Nobody is reading any more (closed pipe, full disk): dropping the lines is all that
        // is left, and blocking or crashing would be worse.
        break;
    }
    const bool progress = m_written > start;
    m_buffer.clear();
    m_written = 0;
    m_waitingForOutput = false;
    return progress;
}

void Log::flushAndWatch()
{
    std::lock_guard lock(m_mutex);
    flushLocked();
    if (m_writable)
        m_writable->setEnabled(m_written < m_buffer.size());
}

void Log::flushWhenIdle()
{
    QObject::disconnect(m_idleFlush);
    m_writable.reset();
    auto *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return;
    m_idleFlush = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                                   [this] { flushAndWatch(); });
    if (m_fd < 0)
        return;
    std::lock_guard lock(m_mutex);
    m_writable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writable->setEnabled(false);
    QObject::connect(m_writable.get(), &QSocketNotifier::activated, m_writable.get(),
                     [this] { flushAndWatch(); });
}

void Log::appendEscaped(std::string_view utf8)
{
    if (utf8.size() <= maximumItem) {
        appendEscapedWhole(utf8);
        return;
    }
    // Cut before a continuation byte, so that the last character shown is whole.
    std::size_t cut = maximumItem;
    while (cut > maximumItem - 3 && (static_cast<unsigned char>(utf8[cut]) & 0xc0) == 0x80)
        --cut;
    appendEscapedWhole(utf8.substr(0, cut));
    m_buffer.append("... (").append(std::to_string(utf8.size())).append(" bytes in all)");
}

void Log::appendEscapedWhole(std::string_view utf8)
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
    // Most items are short ASCII: narrowed on the stack, they cost no allocation.
    char ascii[256];
    if (text.size() <= qsizetype(sizeof ascii)) {
        std::size_t length = 0;
        for (const QChar c : text) {
            if (c.unicode() >= 0x80)
                break;
            ascii[length++] = char(c.unicode());
        }
        if (length == std::size_t(text.size())) {
            appendEscaped({ascii, length});
            return;
        }
    }
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

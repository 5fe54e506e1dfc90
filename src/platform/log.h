#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QMetaObject>
#include <QString>
#include <QStringView>

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class QSocketNotifier;

namespace zc {

// What the log shows in place of a password.
inline constexpr QLatin1String passwordMask{"******"};

// Plain log lines on standard output: no levels, no time stamps, items joined by one space.
// Lines are buffered and written when the event loop goes idle, when the buffer grows large and
// at destruction, so the command path costs no system call per line. Line breaks and other
// control characters (C0, DEL, C1, U+2028, U+2029) and bytes that are not valid UTF-8 inside an
// item are escaped, each byte as \xHH: text from the network can never forge a line or drive a
// UTF-8 terminal. An item longer than maximumItem is cut, with a note of its full length.
//
// Writing never blocks: a paused terminal or a full pipe must not stop the event loop, nor the
// quit that SIGTERM asks for. What the output does not take stays buffered, up to
// maximumBuffered; lines beyond that are dropped and counted, and the count is written as a
// line of its own once the output takes lines again.
class Log
{
public:
    using Sink = std::function<void(std::string_view)>;

    static constexpr std::size_t maximumItem = 8 * 1024;
    static constexpr std::size_t maximumBuffered = 1024 * 1024;

    // Writes to the file descriptor (standard output by default).
    explicit Log(int fd = 1);
    explicit Log(Sink sink);
    ~Log();
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    template <typename... Items> void line(const Items &...items)
    {
        std::lock_guard lock(m_mutex);
        // Until the output has taken some of the backlog and the count is written.
        if (m_dropped > 0) {
            ++m_dropped;
            return;
        }
        const std::size_t before = m_buffer.size();
        bool first = true;
        ((appendSeparator(first), append(items)), ...);
        m_buffer.push_back('\n');
        if (m_buffer.size() - m_written > maximumBuffered) {
            m_buffer.resize(before);
            m_dropped = 1;
            return;
        }
        if (m_buffer.size() - m_written >= flushThreshold && !m_waitingForOutput)
            flushLocked();
    }

    void flush();

    // Flushes every time the calling thread's event loop is about to wait, and whenever a
    // stalled output takes data again, until destroyed.
    void flushWhenIdle();

private:
    static constexpr std::size_t flushThreshold = 64 * 1024;

    void appendSeparator(bool &first)
    {
        if (!first)
            m_buffer.push_back(' ');
        first = false;
    }
    void appendEscaped(std::string_view utf8);
    void appendEscapedWhole(std::string_view utf8);
    void appendEscapedByte(unsigned char c);
    void append(std::string_view text) { appendEscaped(text); }
    void append(const char *text) { appendEscaped(text); }
    void append(const std::string &text) { appendEscaped(text); }
    void append(QByteArrayView utf8) { appendEscaped({utf8.data(), std::size_t(utf8.size())}); }
    void append(const QByteArray &utf8) { append(QByteArrayView(utf8)); }
    void append(QStringView text);
    void append(QLatin1String text);
    void append(const QString &text) { append(QStringView(text)); }
    void append(bool value) { m_buffer.append(value ? "true" : "false"); }
    void append(double value);
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) void append(T value)
    {
        m_buffer.append(std::to_string(value));
    }

    void flushLocked();
    bool writeLocked();
    void flushAndWatch();

    std::mutex m_mutex;
    // Lines not yet written; the first m_written bytes are written already.
    std::string m_buffer;
    std::size_t m_written = 0;
    std::uint64_t m_dropped = 0;
    Sink m_sink;
    // The descriptor written to without blocking when there is no sink, and whether it is a
    // descriptor of the log's own, to be closed with it.
    int m_fd = -1;
    bool m_ownsFd = false;
    // Set when the output took no more; cleared when the event loop finds it writable again.
    bool m_waitingForOutput = false;
    std::unique_ptr<QSocketNotifier> m_writable;
    // The event dispatcher outlives the log: the connection must not.
    QMetaObject::Connection m_idleFlush;
};

// A double as the log shows it: the shortest text that reads back exactly, with ".0" when whole.
std::string formatDouble(double value);

} // namespace zc

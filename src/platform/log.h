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
#include <mutex>
#include <string>
#include <string_view>

namespace zc {

// What the log shows in place of a password.
inline constexpr QLatin1String passwordMask{"******"};

// Plain log lines on standard output: no levels, no time stamps, items joined by one space.
// Lines are buffered and written when the event loop goes idle, when the buffer grows large and
// at destruction, so the command path costs no system call per line. Line breaks and other
// control characters (C0, DEL, C1, U+2028, U+2029) and bytes that are not valid UTF-8 inside an
// item are escaped, each byte as \xHH: text from the network can never forge a line or drive a
// UTF-8 terminal.
class Log
{
public:
    using Sink = std::function<void(std::string_view)>;

    // Writes to the file descriptor (standard output by default).
    explicit Log(int fd = 1);
    explicit Log(Sink sink);
    ~Log();
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    template <typename... Items> void line(const Items &...items)
    {
        std::lock_guard lock(m_mutex);
        bool first = true;
        ((appendSeparator(first), append(items)), ...);
        m_buffer.push_back('\n');
        if (m_buffer.size() >= flushThreshold)
            flushLocked();
    }

    void flush();

    // Flushes every time the calling thread's event loop is about to wait, until destroyed.
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

    std::mutex m_mutex;
    std::string m_buffer;
    Sink m_sink;
    // The event dispatcher outlives the log: the connection must not.
    QMetaObject::Connection m_idleFlush;
};

// A double as the log shows it: the shortest text that reads back exactly, with ".0" when whole.
std::string formatDouble(double value);

} // namespace zc

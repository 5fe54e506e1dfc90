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
    if (auto *dispatcher = QAbstractEventDispatcher::instance())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                         [this] { flush(); });
}

void Log::appendEscaped(std::string_view utf8)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::size_t start = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0x20 && c != 0x7f)
            continue;
        m_buffer.append(utf8.substr(start, i - start));
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
        start = i + 1;
    }
    m_buffer.append(utf8.substr(start));
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

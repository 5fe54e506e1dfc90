#pragma once

// A strict JSON scanner for the fuzz targets, independent of the product's masking code.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zc::fuzz {

using Span = std::pair<std::size_t, std::size_t>;

// Finds, in one JSON object or array, the contents (between the quotes) of every string that is
// the value of a member whose name contains "password" in any case, or lies anywhere inside such
// a value, at any depth. Gives up on anything it does not fully understand.
class PasswordScanner
{
public:
    explicit PasswordScanner(std::string_view text) : m_text(text) {}

    std::optional<std::vector<Span>> scan()
    {
        skipSpace();
        if (m_pos == m_text.size() || (m_text[m_pos] != '{' && m_text[m_pos] != '['))
            return std::nullopt;
        if (!value(false, 0) || !atEnd())
            return std::nullopt;
        return m_spans;
    }

private:
    static constexpr int maximumDepth = 64;

    static bool namesPassword(std::string_view token)
    {
        QByteArray wrapped("[");
        wrapped.append(token.data(), qsizetype(token.size())).append(']');
        const QJsonDocument document = QJsonDocument::fromJson(wrapped);
        return document.isArray() && document.array().at(0).toString().contains(
                                         QLatin1String("password"), Qt::CaseInsensitive);
    }

    bool value(bool secret, int depth)
    {
        if (m_pos == m_text.size() || depth > maximumDepth)
            return false;
        const char c = m_text[m_pos];
        if (c == '"') {
            const std::size_t start = m_pos;
            if (!skipString())
                return false;
            if (secret)
                m_spans.emplace_back(start + 1, m_pos - 1);
            return true;
        }
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            ++m_pos;
            skipSpace();
            if (consume(object ? '}' : ']'))
                return true;
            for (;;) {
                bool memberSecret = secret;
                if (object) {
                    const std::size_t nameStart = m_pos;
                    if (!skipString())
                        return false;
                    memberSecret =
                        secret || namesPassword(m_text.substr(nameStart, m_pos - nameStart));
                    skipSpace();
                    if (!consume(':'))
                        return false;
                    skipSpace();
                }
                if (!value(memberSecret, depth + 1))
                    return false;
                skipSpace();
                if (consume(object ? '}' : ']'))
                    return true;
                if (!consume(','))
                    return false;
                skipSpace();
            }
        }
        // Numbers, true, false and null; anything else (a stray quote) is not understood.
        const std::size_t start = m_pos;
        static constexpr std::string_view scalar = "0123456789+-.eEtrufalsn";
        while (m_pos < m_text.size() && scalar.find(m_text[m_pos]) != std::string_view::npos)
            ++m_pos;
        return m_pos > start;
    }

    bool atEnd()
    {
        skipSpace();
        return m_pos == m_text.size();
    }
    bool consume(char c)
    {
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    void skipSpace()
    {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' ||
                                         m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
            ++m_pos;
    }
    bool skipString()
    {
        if (!consume('"'))
            return false;
        while (m_pos < m_text.size()) {
            const auto c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (m_pos == m_text.size())
                    return false;
                ++m_pos;
            }
        }
        return false;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    std::vector<Span> m_spans;
};

// The password's text with every letter changed and nothing else: its escapes, punctuation and
// bytes beyond ASCII stay, so the copy is exactly as valid (JSON, UTF-8) as the original and takes
// the same path through the program. (Emptied instead, an invalid password made a valid copy, and
// a fixed log line of the original, "Tcp Server json error", was taken for the password "son err".)
inline std::string disguised(std::string_view content)
{
    std::string copy(content);
    for (std::size_t i = 0; i < copy.size(); ++i) {
        if (copy[i] == '\\') {
            i += i + 1 < copy.size() && copy[i + 1] == 'u' ? 5 : 1;
            continue;
        }
        if ((copy[i] >= 'a' && copy[i] <= 'z') || (copy[i] >= 'A' && copy[i] <= 'Z'))
            copy[i] = copy[i] == 'x' ? 'y' : 'x';
    }
    return copy;
}

} // namespace zc::fuzz

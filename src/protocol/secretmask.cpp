#include "secretmask.h"

#include <QJsonArray>
#include <QJsonDocument>

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

bool closesText(char c)
{
    return c == '}' || c == ']';
}

bool endsScalar(char c)
{
    return isSpace(c) || c == ',' || opensText(c) || closesText(c) || c == '"';
}

// `content` is a string token without its quotes, escapes still in place.
bool namesPassword(const QByteArray &content)
{
    if (content.contains('\\')) {
        // An escaped name ("pass\u0077ord") is still a password's name once decoded.
        const QByteArray wrapped = "[\"" + content + "\"]";
        const QJsonDocument decoded = QJsonDocument::fromJson(wrapped);
        return decoded.isArray() && decoded.array().at(0).toString().contains(
                                        QLatin1String("password"), Qt::CaseInsensitive);
    }
    return content.toLower().contains("password");
}

} // namespace

QByteArray maskPasswords(QByteArrayView json)
{
    return PasswordMasker().feed(json);
}

QByteArray PasswordMasker::feed(QByteArrayView piece)
{
    QByteArray out;
    out.reserve(piece.size() + 16);
    for (qsizetype i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        if (m_depth == 0 && opensText(c) &&
            (m_mode == Mode::InString || m_mode == Mode::InMaskedString)) {
            // A stream starts a new text here whatever came before it, even an unclosed quote in
            // garbage; staying in that string would show the new text's password.
            m_mode = Mode::Outside;
            m_escape = false;
            m_token.clear();
        }
        switch (m_mode) {
        case Mode::InString:
            out.append(c);
            if (m_escape) {
                m_escape = false;
                m_token.append(c);
            } else if (c == '\\') {
                m_escape = true;
                m_token.append(c);
            } else if (c == '"') {
                m_mode = Mode::Outside;
                m_afterPasswordName = namesPassword(m_token);
                m_token.clear();
            } else {
                m_token.append(c);
            }
            continue;
        case Mode::InMaskedString:
            if (m_escape) {
                m_escape = false;
            } else if (c == '\\') {
                m_escape = true;
            } else if (c == '"') {
                out.append('"');
                m_mode = Mode::Outside;
            }
            continue;
        case Mode::InMaskedScalar:
            if (!endsScalar(c))
                continue;
            m_mode = Mode::Outside;
            break;
        case Mode::Outside:
            break;
        }

        if (m_maskNextValue && !isSpace(c) && c != ':') {
            m_maskNextValue = false;
            if (c == '"') {
                out.append('"').append(passwordMask.data(), passwordMask.size());
                m_mode = Mode::InMaskedString;
                continue;
            }
            // A bracket opens a structure, kept as it is; a comma or closing bracket ends a
            // member without a value.
            if (!endsScalar(c)) {
                out.append(passwordMask.data(), passwordMask.size());
                m_mode = Mode::InMaskedScalar;
                continue;
            }
        } else if (m_afterPasswordName && !isSpace(c)) {
            m_afterPasswordName = false;
            m_maskNextValue = c == ':';
        }
        out.append(c);
        if (c == '"') {
            m_mode = Mode::InString;
            m_token.clear();
        } else if (opensText(c)) {
            ++m_depth;
        } else if (closesText(c) && m_depth > 0) {
            --m_depth;
        }
    }
    return out;
}

bool equalInConstantTime(const QString &a, const QString &b)
{
    const QByteArray left = a.toUtf8();
    const QByteArray right = b.toUtf8();
    const qsizetype length = std::max(left.size(), right.size());
    unsigned difference = left.size() == right.size() ? 0u : 1u;
    for (qsizetype i = 0; i < length; ++i) {
        const auto l = i < left.size() ? static_cast<unsigned char>(left[i]) : 0u;
        const auto r = i < right.size() ? static_cast<unsigned char>(right[i]) : 0u;
        difference |= l ^ r;
    }
    return difference == 0;
}

} // namespace zc

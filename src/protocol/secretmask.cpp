#include "secretmask.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace zc {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// End of the string token that starts at the quote `start`: one past its closing quote, or the
// end of the text when it is not closed.
qsizetype stringEnd(QByteArrayView text, qsizetype start)
{
    for (qsizetype i = start + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return text.size();
}

bool namesPassword(QByteArrayView token)
{
    static constexpr QByteArrayView word("password");
    if (token.contains('\\')) {
        // An escaped name ("pass\u0077ord") is still a password's name once decoded.
        QByteArray wrapped;
        wrapped.reserve(token.size() + 2);
        wrapped.append('[').append(token).append(']');
        const QJsonDocument decoded = QJsonDocument::fromJson(wrapped);
        if (!decoded.isArray())
            return false;
        return decoded.array().at(0).toString().contains(QLatin1String("password"),
                                                         Qt::CaseInsensitive);
    }
    return token.toByteArray().toLower().contains(word);
}

bool followedByColon(QByteArrayView text, qsizetype from)
{
    while (from < text.size() && isSpace(text[from]))
        ++from;
    return from < text.size() && text[from] == ':';
}

} // namespace

QByteArray maskPasswords(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    bool maskNextValue = false;
    qsizetype i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            const qsizetype end = stringEnd(text, i);
            const QByteArrayView token = text.sliced(i, end - i);
            if (maskNextValue) {
                out.append('"').append(passwordMask.data(), passwordMask.size());
                if (end - i >= 2 && token.back() == '"')
                    out.append('"');
                maskNextValue = false;
            } else {
                out.append(token);
                maskNextValue = followedByColon(text, end) && namesPassword(token);
            }
            i = end;
            continue;
        }
        if (maskNextValue && !isSpace(c) && c != ':') {
            maskNextValue = false;
            if (c != '{' && c != '[') {
                qsizetype end = i;
                while (end < text.size() && !isSpace(text[end]) && text[end] != ',' &&
                       text[end] != '}' && text[end] != ']' && text[end] != '"')
                    ++end;
                out.append(passwordMask.data(), passwordMask.size());
                i = end;
                continue;
            }
        }
        out.append(c);
        ++i;
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

#include "secretmask.h"

#include "requestquery.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

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

bool endsScalar(char c)
{
    return isSpace(c) || c == ',' || opensText(c) || c == '}' || c == ']' || c == '"';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A string's content, escapes as written, decoded the way a JSON parser would. A malformed
// escape stands for the character after the backslash, so that a text no parser accepts is
// still read as close to what it spells as can be: "pass\word" names a password.
QString decodeString(QByteArrayView content)
{
    QString text;
    qsizetype run = 0;
    for (qsizetype i = 0; i < content.size(); ++i) {
        if (content[i] != '\\')
            continue;
        text += QString::fromUtf8(content.sliced(run, i - run));
        if (++i == content.size()) {
            run = i;
            break;
        }
        const char c = content[i];
        run = i + 1;
        switch (c) {
        case 'b':
            text += u'\b';
            break;
        case 'f':
            text += u'\f';
            break;
        case 'n':
            text += u'\n';
            break;
        case 'r':
            text += u'\r';
            break;
        case 't':
            text += u'\t';
            break;
        case 'u': {
            char16_t unit = 0;
            qsizetype digits = 0;
            while (digits < 4 && i + 1 + digits < content.size()) {
                const int digit = hexDigit(content[i + 1 + digits]);
                if (digit < 0)
                    break;
                unit = char16_t(unit * 16 + digit);
                ++digits;
            }
            if (digits == 4) {
                // Surrogate halves come in two escapes; QString pairs them up.
                text += QChar(unit);
                i += 4;
                run = i + 1;
            } else {
                text += u'u';
            }
            break;
        }
        default:
            run = i;
            break;
        }
    }
    text += QString::fromUtf8(content.sliced(run));
    return text;
}

// The text as the content of a JSON string.
QByteArray encodeString(const QString &text)
{
    // Printable ASCII but the quote and the backslash is written as it is.
    const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'"' && c != u'\\';
    });
    if (plain)
        return text.toLatin1();
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.sliced(2, array.size() - 4);
}

// Whether hideTypedText could find text typed in this string's content, escapes aside: "key"
// and "textinput" are spelled out or percent-encoded in a request that types text.
bool mayTypeText(QByteArrayView content)
{
    return content.contains('%') || content.contains(QByteArrayView("textinput"));
}

bool namesPassword(QByteArrayView content)
{
    static constexpr QByteArrayView password("password");
    if (content.contains('\\'))
        return decodeString(content).contains(QLatin1String(password), Qt::CaseInsensitive);
    return QLatin1String(content.data(), content.size())
        .contains(QLatin1String(password), Qt::CaseInsensitive);
}

} // namespace

QByteArray maskPasswords(QByteArrayView json)
{
    PasswordMasker masker;
    QByteArray out = masker.feed(json);
    out += masker.finish();
    return out;
}

void PasswordMasker::show(QByteArray &out, QByteArrayView bytes)
{
    const qsizetype room = shownBytes - m_shown;
    if (room > 0)
        out.append(bytes.first(std::min(room, bytes.size())));
    m_shown += bytes.size();
}

void PasswordMasker::showString(QByteArray &out, bool closed)
{
    const bool whole = m_stringLength <= heldString;
    if (!whole) {
        show(out, QByteArray('<' + QByteArray::number(m_stringLength) + " bytes>"));
    } else if (m_string.contains('\\') || (m_string.contains('?') && mayTypeText(m_string))) {
        const std::optional<QString> hidden = hideTypedText(decodeString(m_string));
        show(out, hidden ? encodeString(*hidden) : m_string);
    } else {
        show(out, m_string);
    }
    if (closed) {
        show(out, "\"");
        m_afterPasswordName = !whole || namesPassword(m_string);
    }
    m_mode = Mode::Outside;
    // Keeps its memory for the next string.
    m_string.resize(0);
    m_stringLength = 0;
}

void PasswordMasker::endText(QByteArray &out)
{
    if (m_shown > shownBytes)
        out.append("... (" + QByteArray::number(m_textLength) + " bytes in all)");
    m_textLength = 0;
    m_shown = 0;
}

QByteArray PasswordMasker::finish()
{
    QByteArray out;
    if (m_mode == Mode::InString)
        showString(out, false);
    endText(out);
    return out;
}

QByteArray PasswordMasker::feed(QByteArrayView piece)
{
    const QByteArrayView mask(passwordMask.data(), passwordMask.size());
    QByteArray out;
    out.reserve(std::min(piece.size(), shownBytes) + 64);
    for (qsizetype i = 0; i < piece.size();) {
        // Most bytes change nothing here: a run of them is shown, held or skipped in one piece.
        // A value about to be masked, and a masked scalar, are followed byte by byte.
        if (!m_afterPasswordName && !m_maskNextValue && m_mode != Mode::InMaskedScalar) {
            const QByteArrayView run = piece.sliced(i, m_scanner.plainPrefix(piece.sliced(i)));
            if (!run.isEmpty()) {
                i += run.size();
                m_textLength += run.size();
                if (m_mode == Mode::Outside) {
                    show(out, run);
                } else if (m_mode == Mode::InString) {
                    m_string.append(run.first(std::min(
                        run.size(), std::max<qsizetype>(heldString - m_string.size(), 0))));
                    m_stringLength += run.size();
                }
                continue;
            }
        }
        const char c = piece[i++];
        if (m_scanner.depth() == 0 && opensText(c)) {
            // A stream starts a new text here whatever came before it, even an unclosed quote in
            // garbage; staying in that string would show the new text's password.
            if (m_mode == Mode::InString)
                showString(out, false);
            else if (m_mode == Mode::InMaskedString)
                m_mode = Mode::Outside;
            endText(out);
        }
        const JsonScanner::Event event = m_scanner.step(c);
        ++m_textLength;
        switch (m_mode) {
        case Mode::InString:
            if (event == JsonScanner::Event::StringEnd) {
                showString(out, true);
            } else {
                if (m_string.size() < heldString)
                    m_string.append(c);
                ++m_stringLength;
            }
            break;
        case Mode::InMaskedString:
            if (event == JsonScanner::Event::StringEnd) {
                show(out, "\"");
                m_mode = Mode::Outside;
            }
            break;
        case Mode::InMaskedStructure:
            if (event == JsonScanner::Event::Close && m_scanner.depth() == m_maskedDepth)
                m_mode = Mode::Outside;
            break;
        case Mode::InMaskedScalar:
            if (!endsScalar(c))
                break;
            m_mode = Mode::Outside;
            [[fallthrough]];
        case Mode::Outside:
            if (m_maskNextValue && !isSpace(c) && c != ':') {
                m_maskNextValue = false;
                // A comma or closing bracket ends a member without a value.
                if (event == JsonScanner::Event::StringStart) {
                    show(out, "\"");
                    show(out, mask);
                    m_mode = Mode::InMaskedString;
                    break;
                }
                if (opensText(c)) {
                    show(out, mask);
                    m_mode = Mode::InMaskedStructure;
                    m_maskedDepth = m_scanner.depth() - 1;
                    break;
                }
                if (!endsScalar(c)) {
                    show(out, mask);
                    m_mode = Mode::InMaskedScalar;
                    break;
                }
            } else if (m_afterPasswordName && !isSpace(c)) {
                m_afterPasswordName = false;
                m_maskNextValue = c == ':';
            }
            if (event == JsonScanner::Event::StringStart) {
                show(out, "\"");
                m_mode = Mode::InString;
            } else {
                show(out, QByteArrayView(&c, 1));
            }
            break;
        }
        if (event == JsonScanner::Event::Close && m_scanner.depth() == 0)
            endText(out);
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

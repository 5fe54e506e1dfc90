#include "requestquery.h"

#include <QStringTokenizer>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

namespace zc {

namespace {

// Never contacted: it only lets the request be parsed as an address's path and query.
constexpr QLatin1String parsingBase{"http://localhost:5915"};

constexpr QLatin1String textInput{"textinput"};

QString percentDecoded(QStringView text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// Whether the text, percent-decoded, is `word`; without a "%" it must be the word itself.
bool decodesTo(QStringView text, QLatin1String word)
{
    return text.contains(u'%') ? percentDecoded(text) == word : text == word;
}

bool isAscii(QStringView text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

} // namespace

RequestQuery::RequestQuery(const QString &request) : m_url(parsingBase + request)
{
    if (!m_url.isValid() || !m_url.hasQuery())
        return;
    const QString query = m_url.query(QUrl::FullyEncoded);
    for (QStringView part : QStringView(query).split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(u'=');
        Item item;
        const QStringView name = equals < 0 ? part : part.first(equals);
        item.name = QUrl::fromPercentEncoding(name.toUtf8());
        if (equals >= 0)
            item.value = QUrl::fromPercentEncoding(part.sliced(equals + 1).toUtf8());
        m_items.append(std::move(item));
    }
}

QList<QString> RequestQuery::pathComponents() const
{
    if (!m_url.isValid())
        return {QString()};
    const QString path = m_url.path(QUrl::FullyEncoded);
    QList<QString> components;
    if (path.startsWith(u'/'))
        components.append(QStringLiteral("/"));
    for (QStringView part : QStringView(path).split(u'/', Qt::SkipEmptyParts))
        components.append(QUrl::fromPercentEncoding(part.toUtf8()));
    return components;
}

const RequestQuery::Item *RequestQuery::firstItem(QLatin1String name) const
{
    for (const Item &item : m_items) {
        if (item.name == name)
            return &item;
    }
    return nullptr;
}

QString RequestQuery::value(QLatin1String name) const
{
    const Item *item = firstItem(name);
    return item && item->value ? *item->value : QString();
}

QString RequestQuery::itemsText() const
{
    // The dispatcher and the executor both log it.
    if (!m_itemsText)
        m_itemsText = makeItemsText();
    return *m_itemsText;
}

QString RequestQuery::makeItemsText() const
{
    if (m_items.isEmpty())
        return {};
    const bool typesText = std::any_of(m_items.cbegin(), m_items.cend(), [](const Item &item) {
        return item.name == QLatin1String("key") && item.value == textInput;
    });
    QString text(u'[');
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (i > 0)
            text += QLatin1String(", ");
        text += m_items[i].name;
        if (m_items[i].value) {
            text += u'=';
            if (typesText && m_items[i].name == QLatin1String("value"))
                text += u'<' + typedTextNote(*m_items[i].value) + u'>';
            else
                text += *m_items[i].value;
        }
    }
    text += u']';
    return text;
}

QString typedTextNote(const QString &text)
{
    // Counted as the user sees characters: an accent or an emoji with its modifier is one.
    qsizetype count = 0;
    if (isAscii(text)) {
        // Only a line break written as CR LF joins two ASCII characters into one.
        count = text.size() - text.count(QLatin1String("\r\n"));
    } else {
        QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
        while (graphemes.toNextBoundary() > 0)
            ++count;
    }
    // Room for any count, then the unit.
    char note[64];
    char *end = std::to_chars(note, note + 24, count).ptr;
    const std::string_view unit = count == 1 ? " character" : " characters";
    end = std::copy(unit.begin(), unit.end(), end);
    return QString::fromLatin1(note, end - note);
}

std::optional<QString> hideTypedText(QStringView request)
{
    const qsizetype question = request.indexOf(u'?');
    if (question < 0)
        return std::nullopt;
    const QStringView query = request.sliced(question + 1);
    // A request that types text spells "textinput" out or percent-encodes some of it.
    if (!query.contains(u'%') && !query.contains(textInput))
        return std::nullopt;
    // Split at every "&" after the first "?", a fragment included: the value may run into it.
    const auto parts = qTokenize(query, u'&');
    const auto item = [](QStringView part) {
        const qsizetype equals = part.indexOf(u'=');
        return std::pair(equals < 0 ? part : part.first(equals),
                         equals < 0 ? std::optional<QStringView>() : part.sliced(equals + 1));
    };
    bool typesText = false;
    for (const QStringView part : parts) {
        const auto [name, value] = item(part);
        if (value && decodesTo(name, QLatin1String("key")) && decodesTo(*value, textInput)) {
            typesText = true;
            break;
        }
    }
    if (!typesText)
        return std::nullopt;
    QString hidden;
    hidden.reserve(request.size() + 16);
    hidden += request.first(question + 1);
    bool first = true;
    for (const QStringView part : parts) {
        if (!std::exchange(first, false))
            hidden += u'&';
        const auto [name, value] = item(part);
        if (value && decodesTo(name, QLatin1String("value"))) {
            hidden += QLatin1String("value=<");
            hidden +=
                typedTextNote(value->contains(u'%') || !isAscii(*value) ? percentDecoded(*value)
                                                                        : value->toString());
            hidden += u'>';
        } else {
            hidden += part;
        }
    }
    return hidden;
}

std::int64_t parseInteger(QStringView text)
{
    if (text.isEmpty() || text.size() > 24)
        return 0;
    char digits[24] = {};
    qsizetype length = 0;
    for (QChar c : text) {
        if (c.unicode() > 0x7f)
            return 0;
        digits[length++] = char(c.unicode());
    }
    const char *begin = digits;
    const char *end = digits + length;
    if (*begin == '+') {
        ++begin;
        if (begin == end || *begin == '-')
            return 0;
    }
    std::int64_t value = 0;
    const auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end)
        return 0;
    return value;
}

} // namespace zc

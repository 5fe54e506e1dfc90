#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace zc {

// A command's request text ("/mouse?key=move_by&delta_x=5") read as the path and query of an
// address behind a fixed base, the way the dispatcher and the executors read it.
class RequestQuery
{
public:
    struct Item
    {
        QString name;
        std::optional<QString> value; // absent for an item without "="
    };

    explicit RequestQuery(const QString &request);

    // False when the address parser rejects the text (a request without a leading "/", say).
    bool isValid() const { return m_url.isValid(); }
    bool hasQuery() const { return m_url.isValid() && m_url.hasQuery(); }
    // Percent-decoded, with the leading "/" as the first component.
    QList<QString> pathComponents() const;
    const QList<Item> &items() const { return m_items; }

    // Value of the first item of that name; the empty text when there is none or it has no value.
    QString value(QLatin1String name) const;
    const Item *firstItem(QLatin1String name) const;

    // The items as one log line: "[key=move_by, delta_x=5]", or empty when there are none.
    // Typed text shows as its length only (see hideTypedText).
    QString itemsText() const;

private:
    QString makeItemsText() const;

    QUrl m_url;
    QList<Item> m_items;
    mutable std::optional<QString> m_itemsText;
};

// Typed text as the log shows it, by its length only ("15 characters"): it may be a password.
QString typedTextNote(const QString &text);

// The request text with the value of every "value" item replaced by "<" typedTextNote ">" when the
// request types text (a "key" item is "textinput"), else nothing. It reads the query more
// loosely than the dispatcher does, so that no spelling the dispatcher would type slips through.
std::optional<QString> hideTypedText(QStringView request);

// A signed 64-bit integer in base 10: optional sign, then digits, nothing else. Anything else,
// and a number beyond 64 bits, reads as 0.
std::int64_t parseInteger(QStringView text);

} // namespace zc

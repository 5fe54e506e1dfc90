#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

namespace zc::remote {

// The key every phone app sends; the server ignores messages without it.
inline constexpr QStringView appAuthenticationKey = u"Q7w4R#2k81M5T!x09P3Z";

// Microseconds since the Unix epoch: the server drops a message whose stamp is not greater than
// the last one it saw, so consecutive runs must rise.
quint64 currentSentTime();

// A command message as compact JSON.
QByteArray commandMessage(const QString &password, const QString &request, quint64 sentTime);

// A discovery request as compact JSON; without a password the member is left out, not empty.
QByteArray discoveryRequest(const std::optional<QString> &password);

// A reply as one line of text: compact JSON when it parses, else the text with its line breaks
// turned into spaces.
QString replyLine(const QByteArray &payload);

} // namespace zc::remote

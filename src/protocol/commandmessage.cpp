#include "commandmessage.h"

#include "log.h"
#include "secretmask.h"

#include <QJsonDocument>

namespace zc {

bool isUtf8(QByteArrayView bytes)
{
    return bytes.isValidUtf8();
}

std::optional<QJsonValue> parseJsonValue(QByteArrayView bytes)
{
    QByteArray wrapped;
    wrapped.reserve(bytes.size() + 2);
    wrapped.append('[').append(bytes).append(']');
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    const QJsonArray values = document.array();
    if (values.size() != 1)
        return std::nullopt;
    return values.first();
}

DecodedDatagram decodeDatagram(QByteArrayView bytes, Log &log)
{
    DecodedDatagram result;
    if (!isUtf8(bytes)) {
        log.line("Ignoring a datagram of", bytes.size(), "bytes: it is not UTF-8 text");
        return result;
    }
    log.line(maskPasswords(bytes));

    const std::optional<QJsonValue> value = parseJsonValue(bytes);
    if (!value) {
        log.line("Mouse Controls Exception");
        return result;
    }
    if (value->isObject()) {
        log.line("For Mouse Controls");
        result.kind = DecodedDatagram::Kind::CommandMessage;
        result.message = value->toObject();
    } else if (value->isArray() && value->toArray().at(0).isObject()) {
        result.kind = DecodedDatagram::Kind::DiscoveryRequest;
        result.discovery = value->toArray();
    } else {
        log.line("Ignoring a datagram: it is neither a command message nor a discovery request");
    }
    return result;
}

} // namespace zc

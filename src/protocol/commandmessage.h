#pragma once

#include <QByteArrayView>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

#include <optional>

namespace zc {

class Log;

// What one UDP datagram turned out to be.
struct DecodedDatagram
{
    enum class Kind
    {
        CommandMessage,
        DiscoveryRequest,
        Unusable
    };

    Kind kind = Kind::Unusable;
    QJsonObject message;  // for a command message
    QJsonArray discovery; // for a discovery request: an array whose first element is an object
};

// One JSON value of any kind, a bare string or number included; nothing when the bytes are not
// exactly one value.
std::optional<QJsonValue> parseJsonValue(QByteArrayView bytes);

bool isUtf8(QByteArrayView bytes);

// Logs the datagram (passwords masked) and decodes it. Text that is not UTF-8, JSON that does not
// parse and JSON of any other shape are reported in the log and come back as Unusable.
DecodedDatagram decodeDatagram(QByteArrayView bytes, Log &log);

} // namespace zc

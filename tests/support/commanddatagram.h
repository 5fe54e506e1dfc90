#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace zc::test {

// A command message as the phone sends it, with the password "hunter2" that no log may show.
inline QByteArray commandDatagram(quint64 stamp, const QString &request)
{
    const QJsonObject message{
        {QStringLiteral("appAuthenticationKey"), QStringLiteral("Q7w4R#2k81M5T!x09P3Z")},
        {QStringLiteral("password"), QStringLiteral("hunter2")},
        {QStringLiteral("sentTime"), QString::number(stamp)},
        {QStringLiteral("request"), request}};
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

} // namespace zc::test

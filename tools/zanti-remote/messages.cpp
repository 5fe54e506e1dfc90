#include "messages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

namespace zc::remote {

quint64 currentSentTime()
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    return quint64(sinceEpoch.count());
}

QByteArray commandMessage(const QString &password, const QString &request, quint64 sentTime)
{
    const QJsonObject message{
        {QStringLiteral("appAuthenticationKey"), appAuthenticationKey.toString()},
        {QStringLiteral("password"), password},
        // A JSON number could not carry 64 bits exactly, so the stamp travels as text.
        {QStringLiteral("sentTime"), QString::number(sentTime)},
        {QStringLiteral("request"), request},
    };
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

QByteArray discoveryRequest(const std::optional<QString> &password)
{
    QJsonObject request{
        {QStringLiteral("app_authentication_key"), appAuthenticationKey.toString()}};
    if (password)
        request.insert(QStringLiteral("zanti_server_password"), *password);
    return QJsonDocument(QJsonArray{request}).toJson(QJsonDocument::Compact);
}

QString replyLine(const QByteArray &payload)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error == QJsonParseError::NoError)
        return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    QString text = QString::fromUtf8(payload);
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    return text;
}

} // namespace zc::remote

#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace zc {

class Log;

// What a settings post carries, found the way the settings page has always been answered: in
// the request's text (request line, header lines, body), the last line that begins with "{" and
// ends with "}" is the document. Without such a line the whole text is, so a body spread over
// several lines is not found.
struct SettingsPost
{
    // The posted object, when the document is a JSON object.
    std::optional<QJsonObject> settings;
    // The candidate line, or empty: the reply when no settings were found.
    QString candidate;
};

SettingsPost findSettingsPost(const QString &requestText, Log &log);

} // namespace zc

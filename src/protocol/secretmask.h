#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QString>

namespace zc {

// What the log shows in place of a password.
inline constexpr QLatin1String passwordMask{"******"};

// The JSON text with the value of every member whose name contains "password" (in any case)
// replaced by the mask. Works on malformed and truncated text too, as far as such a member can
// be recognised in it.
QByteArray maskPasswords(QByteArrayView json);

// Compares two texts in time that does not depend on where they differ.
bool equalInConstantTime(const QString &a, const QString &b);

} // namespace zc

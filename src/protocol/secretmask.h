#pragma once

#include "log.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QString>

#include <cstdint>

namespace zc {

// The JSON text with the value of every member whose name contains "password" (in any case)
// replaced by the mask. Works on malformed and truncated text too, as far as such a member can
// be recognised in it.
QByteArray maskPasswords(QByteArrayView json);

// The same over a stream whose text arrives in pieces: a member split between two pieces is
// still recognised and masked. Objects and arrays are followed as MessageStream frames them,
// so that garbage between them (a stray quote) cannot put the masker out of step with the
// texts that follow.
class PasswordMasker
{
public:
    QByteArray feed(QByteArrayView piece);

private:
    enum class Mode : std::uint8_t
    {
        Outside,
        InString,
        InMaskedString,
        InMaskedScalar
    };

    Mode m_mode = Mode::Outside;
    bool m_escape = false;
    bool m_afterPasswordName = false;
    bool m_maskNextValue = false;
    // Nesting of objects and arrays; outside them, only garbage.
    qsizetype m_depth = 0;
    QByteArray m_token;
};

// Compares two texts in time that does not depend on where they differ.
bool equalInConstantTime(const QString &a, const QString &b);

} // namespace zc

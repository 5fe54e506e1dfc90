#pragma once

#include "log.h"
#include "messagestream.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QString>

#include <cstdint>

namespace zc {

// The JSON text as the log may show it: the whole value of every member whose name contains
// "password" (in any case), string, number, object or array, is replaced by the mask; typed text
// in a request shows as its length only (hideTypedText); and a text longer than
// PasswordMasker::shownBytes is cut, with a note of its full length. Works on malformed and
// truncated text too, as far as such a member or request can be recognised in it.
QByteArray maskPasswords(QByteArrayView json);

// The same over a stream whose text arrives in pieces: a member split between two pieces is
// still recognised and masked, and the pieces' output put together is the output of the whole.
// Texts are followed with the scanner that frames them (MessageStream), so that garbage between
// them (a stray quote) cannot put the masker out of step with the texts that follow.
class PasswordMasker
{
public:
    // How much of one text (an object or array with all it holds, or a run of garbage between
    // texts) is shown: the log grows with the number of texts, never with their size.
    static constexpr qsizetype shownBytes = 4 * 1024;
    // A string longer than this shows as its length only, and as a name it counts as a
    // password's: only a string held whole can be checked for either.
    static constexpr qsizetype heldString = 4 * 1024;

    QByteArray feed(QByteArrayView piece);
    // What is still held back at the end of the text: an unclosed string, and the note of a cut.
    QByteArray finish();

private:
    enum class Mode : std::uint8_t
    {
        Outside,
        InString,
        InMaskedString,
        InMaskedScalar,
        InMaskedStructure
    };

    void show(QByteArray &out, QByteArrayView bytes);
    void showString(QByteArray &out, bool closed);
    void endText(QByteArray &out);

    JsonScanner m_scanner;
    Mode m_mode = Mode::Outside;
    bool m_afterPasswordName = false;
    bool m_maskNextValue = false;
    // The depth at which a masked object or array ends.
    qsizetype m_maskedDepth = 0;
    // The content of the string being read, escapes as written, up to heldString bytes, and
    // its full length: strings are shown when whole, once it is known what they are.
    QByteArray m_string;
    qsizetype m_stringLength = 0;
    // The current text's length so far and how much of it has been shown.
    qsizetype m_textLength = 0;
    qsizetype m_shown = 0;
};

// Compares two texts in time that does not depend on where they differ.
bool equalInConstantTime(const QString &a, const QString &b);

} // namespace zc

#pragma once

#include <QString>

#include <optional>

namespace zc {

// Typing whole texts, as the desktop's own keystroke and paste mechanisms do.
class ITextInput
{
public:
    virtual ~ITextInput() = default;

    // Types the text as keystrokes. Returns a description of what went wrong, if anything did.
    virtual std::optional<QString> typeText(const QString &text) = 0;
    // Puts the text on the clipboard and pastes it; the clipboard keeps the text afterwards.
    virtual std::optional<QString> pasteText(const QString &text) = 0;
};

} // namespace zc

#pragma once

#include <QString>

#include <optional>

namespace zc {

// Typing whole texts.
class ITextInput
{
public:
    virtual ~ITextInput() = default;

    // Types the text as keystrokes. Returns a description of what went wrong, if anything did.
    virtual std::optional<QString> typeText(const QString &text) = 0;
    // For characters the keyboard has no key for. A backend may paste them or type them some
    // other way; the X11 one types them too, which leaves the user's clipboard alone.
    virtual std::optional<QString> pasteText(const QString &text) = 0;
};

} // namespace zc

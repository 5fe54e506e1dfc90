#pragma once

#include "commandnames.h"
#include "keycodes.h"

#include <QString>

#include <cstdint>

namespace zc {

class IInputEvents;
class IPowerActions;
class ITextInput;
class Log;
class RequestQuery;

// Turns keyboard requests into key presses, shortcuts, typed text, media keys and power
// requests.
class KeyboardControls
{
public:
    KeyboardControls(IInputEvents &input, ITextInput &text, IPowerActions &power, Log &log);

    void handleKeyboardEvent(const QString &request);
    // The same, for a request the caller has parsed already.
    void handleKeyboardEvent(const RequestQuery &query);
    void typeKey(const QString &text);
    void typeCombination(const QString &text);
    void runSystemCommand(QStringView command);
    void postMediaKey(std::int32_t type);

    static constexpr std::int32_t NX_KEYTYPE_SOUND_UP = 0;
    static constexpr std::int32_t NX_KEYTYPE_SOUND_DOWN = 1;
    static constexpr std::int32_t NX_KEYTYPE_PLAY = 16;
    static constexpr std::int32_t NX_KEYTYPE_NEXT = 17;
    static constexpr std::int32_t NX_KEYTYPE_PREVIOUS = 18;
    static constexpr std::int32_t NX_KEYTYPE_FAST = 19;
    static constexpr std::int32_t NX_KEYTYPE_REWIND = 20;

private:
    // Typed text goes to the log by its length only.
    enum class Origin
    {
        Command,
        TypedText
    };
    void typeKey(const QString &text, Origin origin);
    void typeCombination(const QString &text, Origin origin);
    void pressKey(KeyCode code);
    void postChord(KeyCode key, std::uint64_t flags);

    Keyboard m_keyboard;
    IInputEvents &m_input;
    ITextInput &m_text;
    IPowerActions &m_power;
    Log &m_log;
};

} // namespace zc

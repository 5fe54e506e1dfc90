#pragma once

#include <cstdint>
#include <optional>

namespace zc {

// A position in points. Which way y grows depends on where the point comes from: the cursor
// location is reported with the origin at the bottom-left of the main screen, y upwards;
// event and warp positions use the origin at its top-left, y downwards.
struct PointF
{
    double x = 0;
    double y = 0;
    friend bool operator==(const PointF &, const PointF &) = default;
};

enum class MouseEventType : std::uint8_t
{
    LeftMouseDown = 1,
    LeftMouseUp = 2,
    RightMouseDown = 3,
    RightMouseUp = 4,
    MouseMoved = 5,
    LeftMouseDragged = 6,
};

enum class MouseButton : std::uint8_t
{
    Left = 0,
    Right = 1
};

struct MouseEvent
{
    MouseEventType type = MouseEventType::MouseMoved;
    PointF position;
    MouseButton button = MouseButton::Left;
    // 2 marks the event as the second click of a double click.
    std::int64_t clickState = 1;
};

// Modifier masks; an event that carries flags is delivered with exactly these modifiers held.
namespace ModifierFlag {
inline constexpr std::uint64_t Shift = 0x20000;
inline constexpr std::uint64_t Control = 0x40000;
inline constexpr std::uint64_t Option = 0x80000;
inline constexpr std::uint64_t Command = 0x100000;
} // namespace ModifierFlag

struct KeyEvent
{
    // Virtual key code of an ANSI keyboard (0 is A, 36 Return, 55 Command, 56 Shift).
    std::uint16_t keyCode = 0;
    bool down = true;
    // Absent: the event takes the modifiers that are physically held.
    std::optional<std::uint64_t> flags;
};

// Wheel movement in lines; positive wheel 1 scrolls up, positive wheel 2 scrolls left.
struct ScrollEvent
{
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    std::int64_t sourceUserData = 1;
};

// An auxiliary-control-button event that carries a media key: data1 holds the key type in bits
// 16 to 31 and the key state (0x0a down, 0x0b up) in bits 8 to 15.
struct MediaKeyEvent
{
    std::int64_t modifierFlags = 0;
    std::int16_t subtype = 8;
    std::int64_t data1 = 0;
    std::int64_t data2 = -1;
};

// Synthetic pointer and keyboard input, in the terms of the command vocabulary.
class IInputEvents
{
public:
    virtual ~IInputEvents() = default;

    // Absent when no screen or pointer can be reached.
    virtual std::optional<PointF> cursorLocation() = 0;
    virtual std::optional<double> mainScreenHeight() = 0;
    virtual double doubleClickInterval() = 0;

    // Moves the cursor without generating an event.
    virtual void warpCursor(PointF topLeftPosition) = 0;
    virtual void postMouseEvent(const MouseEvent &event) = 0;
    virtual void postScrollEvent(const ScrollEvent &event) = 0;
    virtual void postKeyEvent(const KeyEvent &event) = 0;
    virtual void postMediaKeyEvent(const MediaKeyEvent &event) = 0;

    // Releases every key and button this process still holds down, so that nothing stays stuck
    // when commands stop arriving. Implementations that never hold anything need not override it.
    virtual void releaseAll() {}
};

} // namespace zc

#pragma once

#include "commandnames.h"
#include "iinputevents.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace zc {

class Log;
class RequestQuery;

// Turns mouse requests into pointer events: moves, drags, clicks, double clicks, single button
// presses and releases, and wheel scrolls.
class MouseControls
{
public:
    MouseControls(IInputEvents &input, Log &log);

    void handleMouseEvent(const QString &request);
    // The same, for a request the caller has parsed already.
    void handleMouseEvent(const RequestQuery &query);

    void moveCursor(double dx, double dy);
    void dragCursor(double dx, double dy);
    void leftClick();
    void rightClick();
    void leftDoubleClick();
    void rightDoubleClick();
    void scrollWheel(std::int64_t horizontal, std::int64_t vertical);
    void pressOrReleaseButton(QStringView name);

    bool isDragging() const { return m_isDragging; }

    // Posts, in order, the button events that earlier requests left queued. Every request calls
    // it first: events of a request handled before the queue ran (requests arriving together)
    // must not overtake them, or a drag's motion would precede its press.
    void postQueuedButtons();

private:
    // The cursor in event coordinates (origin top-left), read afresh every time.
    std::optional<PointF> cursorPoint();
    void click(MouseEventType down, MouseEventType up, MouseButton button, std::int64_t clickState);

    IInputEvents &m_input;
    Log &m_log;
    bool m_isDragging = false;
    Mouse m_mouse;
    std::vector<MouseEvent> m_queuedButtons;
    // Queued button events run after the current request; they die with this object.
    QObject m_queue;
};

} // namespace zc

#include "mousecontrols.h"

#include "log.h"
#include "requestquery.h"

#include <QMetaObject>

#include <limits>
#include <utility>

namespace zc {

namespace {

std::string formatPoint(PointF point)
{
    return '(' + formatDouble(point.x) + ", " + formatDouble(point.y) + ')';
}

bool fitsWheel(std::int64_t lines)
{
    return lines >= std::numeric_limits<std::int32_t>::min() &&
           lines <= std::numeric_limits<std::int32_t>::max();
}

} // namespace

MouseControls::MouseControls(IInputEvents &input, Log &log) : m_input(input), m_log(log) {}

void MouseControls::handleMouseEvent(const QString &request)
{
    handleMouseEvent(RequestQuery(request));
}

void MouseControls::handleMouseEvent(const RequestQuery &query)
{
    postQueuedButtons();
    m_log.line(query.itemsText());
    const QString name = query.value(QLatin1String("key"));
    if (!query.hasQuery())
        return;

    const auto integer = [&query](const char *item) {
        return parseInteger(query.value(QLatin1String(item)));
    };

    if (name == m_mouse.MoveBy) {
        const RequestQuery::Item *deltaX = query.firstItem(QLatin1String("delta_x"));
        m_log.line(deltaX && deltaX->value ? *deltaX->value : QStringLiteral("0"));
        const std::int64_t dx = integer("delta_x");
        const std::int64_t dy = integer("delta_y");
        m_log.line(dx, dy);
        if (m_isDragging)
            dragCursor(double(dx), double(dy));
        else
            moveCursor(double(dx), double(dy));
    } else if (name == m_mouse.LeftButtonClick) {
        m_isDragging = false;
        leftClick();
    } else if (name == m_mouse.RightButtonClick) {
        m_isDragging = false;
        rightClick();
    } else if (name == m_mouse.VerticalScroll) {
        m_isDragging = false;
        scrollWheel(0, integer("value"));
    } else if (name == m_mouse.ScrollBy) {
        m_isDragging = false;
        scrollWheel(integer("delta_x"), integer("delta_y"));
    } else if (name == m_mouse.LeftButtonDoubleClick) {
        m_isDragging = false;
        leftDoubleClick();
    } else if (name == m_mouse.RightButtonDoubleClick) {
        m_isDragging = false;
        rightDoubleClick();
    } else if (name == m_mouse.LeftButtonDown || name == m_mouse.LeftButtonUp ||
               name == m_mouse.RightButtonDown || name == m_mouse.RightButtonUp) {
        pressOrReleaseButton(name);
    } else {
        m_log.line("Unknown mouse event");
    }
}

std::optional<PointF> MouseControls::cursorPoint()
{
    const std::optional<PointF> location = m_input.cursorLocation();
    const std::optional<double> height = m_input.mainScreenHeight();
    if (!location || !height)
        return std::nullopt;
    return PointF{location->x, *height - location->y};
}

void MouseControls::moveCursor(double dx, double dy)
{
    m_log.line(formatPoint({dx, dy}));
    const std::optional<PointF> location = m_input.cursorLocation();
    const std::optional<double> height = m_input.mainScreenHeight();
    if (!location || !height)
        return;
    const PointF point{location->x, *height - location->y};
    m_log.line("mouseLoc ", formatPoint(*location));
    m_log.line("NSHeight(NSScreen.screens[0].frame)", *height);
    m_log.line("mouseLoc ", formatPoint(point));

    m_input.warpCursor({point.x + dx, point.y + dy});
    if (const std::optional<PointF> moved = cursorPoint())
        m_input.postMouseEvent({MouseEventType::MouseMoved, *moved, MouseButton::Left, 1});
}

void MouseControls::dragCursor(double dx, double dy)
{
    const std::optional<PointF> point = cursorPoint();
    if (!point)
        return;
    m_input.postMouseEvent(
        {MouseEventType::LeftMouseDragged, {point->x + dx, point->y + dy}, MouseButton::Left, 1});
}

void MouseControls::click(MouseEventType down, MouseEventType up, MouseButton button,
                          std::int64_t clickState)
{
    const std::optional<PointF> point = cursorPoint();
    if (!point)
        return;
    m_input.postMouseEvent({down, *point, button, clickState});
    m_input.postMouseEvent({up, *point, button, clickState});
}

void MouseControls::leftClick()
{
    m_log.line("Left Click");
    click(MouseEventType::LeftMouseDown, MouseEventType::LeftMouseUp, MouseButton::Left, 1);
}

void MouseControls::rightClick()
{
    // The button argument of right-button events is ignored; the event type names the button.
    click(MouseEventType::RightMouseDown, MouseEventType::RightMouseUp, MouseButton::Left, 1);
}

void MouseControls::leftDoubleClick()
{
    m_log.line("Double Click");
    click(MouseEventType::LeftMouseDown, MouseEventType::LeftMouseUp, MouseButton::Left, 2);
    m_log.line(m_input.doubleClickInterval());
}

void MouseControls::rightDoubleClick()
{
    click(MouseEventType::RightMouseDown, MouseEventType::RightMouseUp, MouseButton::Right, 2);
    m_log.line(m_input.doubleClickInterval());
}

void MouseControls::scrollWheel(std::int64_t horizontal, std::int64_t vertical)
{
    if (!fitsWheel(horizontal) || !fitsWheel(vertical)) {
        m_log.line("Scroll ignored: amount out of range", horizontal, vertical);
        return;
    }
    m_input.postScrollEvent({std::int32_t(vertical), std::int32_t(horizontal), 1});
}

void MouseControls::pressOrReleaseButton(QStringView name)
{
    MouseEventType type;
    MouseButton button;
    if (name == m_mouse.LeftButtonDown) {
        m_isDragging = true;
        type = MouseEventType::LeftMouseDown;
        button = MouseButton::Left;
    } else if (name == m_mouse.LeftButtonUp) {
        m_isDragging = false;
        type = MouseEventType::LeftMouseUp;
        button = MouseButton::Left;
    } else if (name == m_mouse.RightButtonDown) {
        type = MouseEventType::RightMouseDown;
        button = MouseButton::Right;
    } else if (name == m_mouse.RightButtonUp) {
        type = MouseEventType::RightMouseUp;
        button = MouseButton::Right;
    } else {
        return;
    }
    const std::optional<PointF> point = cursorPoint();
    if (!point)
        return;
    // The press is taken where the cursor is now but enters the input stream only after this
    // request has been handled.
    m_queuedButtons.push_back({type, *point, button, 1});
    if (m_queuedButtons.size() == 1)
        QMetaObject::invokeMethod(
            &m_queue, [this] { postQueuedButtons(); }, Qt::QueuedConnection);
}

void MouseControls::postQueuedButtons()
{
    const std::vector<MouseEvent> events = std::exchange(m_queuedButtons, {});
    for (const MouseEvent &event : events)
        m_input.postMouseEvent(event);
}

} // namespace zc

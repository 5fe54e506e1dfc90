#include "unavailabledesktop.h"

#include "log.h"

namespace zc {

UnavailableService::UnavailableService(Log &log, QString what, QString reason)
    : m_log(log), m_what(std::move(what)), m_reason(std::move(reason))
{}

void UnavailableService::reportOnce()
{
    if (m_reported)
        return;
    m_reported = true;
    m_log.line(m_what + QStringLiteral(" unavailable: ") + m_reason);
}

UnavailableInputEvents::UnavailableInputEvents(Log &log, const QString &reason)
    : UnavailableService(log, QStringLiteral("Mouse and keyboard input is"), reason)
{}

std::optional<PointF> UnavailableInputEvents::cursorLocation()
{
    reportOnce();
    return std::nullopt;
}

std::optional<double> UnavailableInputEvents::mainScreenHeight()
{
    reportOnce();
    return std::nullopt;
}

double UnavailableInputEvents::doubleClickInterval()
{
    return 0.5;
}

void UnavailableInputEvents::warpCursor(PointF)
{
    reportOnce();
}

void UnavailableInputEvents::postMouseEvent(const MouseEvent &)
{
    reportOnce();
}

void UnavailableInputEvents::postScrollEvent(const ScrollEvent &)
{
    reportOnce();
}

void UnavailableInputEvents::postKeyEvent(const KeyEvent &)
{
    reportOnce();
}

void UnavailableInputEvents::postMediaKeyEvent(const MediaKeyEvent &)
{
    reportOnce();
}

UnavailableTextInput::UnavailableTextInput(Log &log, const QString &reason)
    : UnavailableService(log, QStringLiteral("Typing text is"), reason)
{}

std::optional<QString> UnavailableTextInput::typeText(const QString &)
{
    reportOnce();
    return QStringLiteral("typing is unavailable");
}

std::optional<QString> UnavailableTextInput::pasteText(const QString &)
{
    reportOnce();
    return QStringLiteral("pasting is unavailable");
}

} // namespace zc

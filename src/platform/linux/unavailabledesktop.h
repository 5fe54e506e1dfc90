#pragma once

#include "iinputevents.h"
#include "itextinput.h"

#include <QString>

namespace zc {

class Log;

// Stand-ins for input and typing where this session has no backend. Each one says so in the log
// the first time it is asked for something, and then does nothing.
class UnavailableService
{
public:
    UnavailableService(Log &log, QString what, QString reason);

protected:
    void reportOnce();

private:
    Log &m_log;
    QString m_what;
    QString m_reason;
    bool m_reported = false;
};

class UnavailableInputEvents final : public IInputEvents, UnavailableService
{
public:
    UnavailableInputEvents(Log &log, const QString &reason);
    std::optional<PointF> cursorLocation() override;
    std::optional<double> mainScreenHeight() override;
    double doubleClickInterval() override;
    void warpCursor(PointF topLeftPosition) override;
    void postMouseEvent(const MouseEvent &event) override;
    void postScrollEvent(const ScrollEvent &event) override;
    void postKeyEvent(const KeyEvent &event) override;
    void postMediaKeyEvent(const MediaKeyEvent &event) override;
};

class UnavailableTextInput final : public ITextInput, UnavailableService
{
public:
    UnavailableTextInput(Log &log, const QString &reason);
    std::optional<QString> typeText(const QString &text) override;
    std::optional<QString> pasteText(const QString &text) override;
};

} // namespace zc

#pragma once

#include "desktopservices.h"

#include <QString>

namespace zc {

class Log;

// Stand-ins for desktop services this session cannot offer. Each one says so in the log the
// first time it is asked for something, and then does nothing.
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

class UnavailableSessionActions final : public ISessionActions, UnavailableService
{
public:
    UnavailableSessionActions(Log &log, const QString &reason);
    void lockScreen() override;
    void logOut() override;
};

class UnavailablePowerActions final : public IPowerActions, UnavailableService
{
public:
    UnavailablePowerActions(Log &log, const QString &reason);
    void shutDown() override;
    void restart() override;
    void sleep() override;
};

class UnavailableWorkspace final : public IWorkspace, UnavailableService
{
public:
    UnavailableWorkspace(Log &log, const QString &reason);
    QList<RunningApplication> runningApplications() override;
    void launchApplication(const QString &name) override;
    void openUrl(const QUrl &url) override;
    std::optional<InstalledApplication> findApplication(const QString &name) override;
    void quitApplication(const RunningApplication &application) override;
    void whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                  std::function<void(bool gone)> done) override;
};

} // namespace zc

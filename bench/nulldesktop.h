#pragma once

#include "desktopservices.h"

#include <atomic>

namespace zc::bench {

// A desktop that does nothing, so that only the program's own work is measured. It counts the
// key presses it is asked for.
class NullDesktop final : public IInputEvents,
                          public ITextInput,
                          public IPowerActions,
                          public IWorkspace
{
public:
    std::atomic<long> keyDowns{0};

    std::optional<PointF> cursorLocation() override { return PointF{640, 400}; }
    std::optional<double> mainScreenHeight() override { return 1080; }
    double doubleClickInterval() override { return 0.5; }
    void warpCursor(PointF) override {}
    void postMouseEvent(const MouseEvent &) override {}
    void postScrollEvent(const ScrollEvent &) override {}
    void postKeyEvent(const KeyEvent &event) override
    {
        if (event.down)
            ++keyDowns;
    }
    void postMediaKeyEvent(const MediaKeyEvent &) override {}

    std::optional<QString> typeText(const QString &) override { return std::nullopt; }
    std::optional<QString> pasteText(const QString &) override { return std::nullopt; }

    void shutDown() override {}
    void restart() override {}
    void sleep() override {}

    QList<RunningApplication> runningApplications() override { return {}; }
    void launchApplication(const QString &) override {}
    void openUrl(const QUrl &) override {}
    std::optional<InstalledApplication> findApplication(const QString &) override
    {
        return std::nullopt;
    }
    void quitApplication(const RunningApplication &) override {}
    void whenGone(const QList<qint64> &, std::chrono::milliseconds,
                  std::function<void(bool)> done) override
    {
        done(true);
    }
};

} // namespace zc::bench

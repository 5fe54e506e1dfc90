#pragma once

#include "iinputevents.h"
#include "ipoweractions.h"
#include "itextinput.h"
#include "iworkspace.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace zc::test {

// A desktop that records every call as one readable line, so that a test can compare a whole
// command's sequence with a list of expected lines.
class RecordingDesktop final : public IInputEvents,
                               public ITextInput,
                               public IPowerActions,
                               public IWorkspace
{
public:
    QStringList calls;

    // What the desktop reports back.
    std::optional<PointF> location = PointF{100, 1030};
    std::optional<double> screenHeight = 1080;
    double interval = 0.5;
    QList<RunningApplication> applications;
    std::optional<QString> textError;
    std::optional<InstalledApplication> installed = InstalledApplication{};
    // Whether applications asked to quit go (the answer whenGone gives).
    bool applicationsQuit = true;
    // Runs after every key event is recorded, as a desktop reacting to the key would.
    std::function<void()> onPost;

    std::optional<PointF> cursorLocation() override { return location; }
    std::optional<double> mainScreenHeight() override { return screenHeight; }
    double doubleClickInterval() override { return interval; }

    void warpCursor(PointF position) override;
    void postMouseEvent(const MouseEvent &event) override;
    void postScrollEvent(const ScrollEvent &event) override;
    void postKeyEvent(const KeyEvent &event) override;
    void postMediaKeyEvent(const MediaKeyEvent &event) override;
    void releaseAll() override { calls.append(QStringLiteral("release all")); }

    std::optional<QString> typeText(const QString &text) override;
    std::optional<QString> pasteText(const QString &text) override;

    void shutDown() override { calls.append(QStringLiteral("power shut down")); }
    void restart() override { calls.append(QStringLiteral("power restart")); }
    void sleep() override { calls.append(QStringLiteral("power sleep")); }

    QList<RunningApplication> runningApplications() override;
    void launchApplication(const QString &name) override;
    void openUrl(const QUrl &url) override;
    std::optional<InstalledApplication> findApplication(const QString &name) override;
    void quitApplication(const RunningApplication &application) override;
    void whenGone(const QList<qint64> &processIds, std::chrono::milliseconds limit,
                  std::function<void(bool gone)> done) override;
};

} // namespace zc::test

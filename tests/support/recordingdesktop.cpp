#include "recordingdesktop.h"

namespace zc::test {

namespace {

QString point(PointF p)
{
    return QStringLiteral("(%1, %2)").arg(p.x).arg(p.y);
}

QString mouseType(MouseEventType type)
{
    switch (type) {
    case MouseEventType::LeftMouseDown:
        return QStringLiteral("left down");
    case MouseEventType::LeftMouseUp:
        return QStringLiteral("left up");
    case MouseEventType::RightMouseDown:
        return QStringLiteral("right down");
    case MouseEventType::RightMouseUp:
        return QStringLiteral("right up");
    case MouseEventType::MouseMoved:
        return QStringLiteral("moved");
    case MouseEventType::LeftMouseDragged:
        return QStringLiteral("left dragged");
    }
    return QStringLiteral("?");
}

} // namespace

// Pointer moves without an event have the cursor follow, as on a real desktop.
void RecordingDesktop::warpCursor(PointF position)
{
    calls.append(QStringLiteral("warp ") + point(position));
    if (location && screenHeight)
        location = PointF{position.x, *screenHeight - position.y};
}

void RecordingDesktop::postMouseEvent(const MouseEvent &event)
{
    QString line = QStringLiteral("mouse ") + mouseType(event.type) + u' ' + point(event.position) +
                   QStringLiteral(" button %1").arg(int(event.button));
    if (event.clickState != 1)
        line += QStringLiteral(" clicks %1").arg(event.clickState);
    calls.append(line);
}

void RecordingDesktop::postScrollEvent(const ScrollEvent &event)
{
    calls.append(QStringLiteral("scroll %1 %2 user %3")
                     .arg(event.vertical)
                     .arg(event.horizontal)
                     .arg(event.sourceUserData));
}

void RecordingDesktop::postKeyEvent(const KeyEvent &event)
{
    QString line = QStringLiteral("key %1 %2").arg(event.keyCode).arg(event.down ? u"down" : u"up");
    if (event.flags)
        line += QStringLiteral(" flags 0x%1").arg(*event.flags, 0, 16);
    calls.append(line);
    if (onPost)
        onPost();
}

void RecordingDesktop::postMediaKeyEvent(const MediaKeyEvent &event)
{
    calls.append(QStringLiteral("media 0x%1 flags 0x%2 subtype %3 data2 %4")
                     .arg(event.data1, 0, 16)
                     .arg(event.modifierFlags, 0, 16)
                     .arg(event.subtype)
                     .arg(event.data2));
}

std::optional<QString> RecordingDesktop::typeText(const QString &text)
{
    calls.append(QStringLiteral("type ") + text);
    return textError;
}

std::optional<QString> RecordingDesktop::pasteText(const QString &text)
{
    calls.append(QStringLiteral("paste ") + text);
    return textError;
}

QList<RunningApplication> RecordingDesktop::runningApplications()
{
    return applications;
}

void RecordingDesktop::launchApplication(const QString &name)
{
    calls.append(QStringLiteral("launch ") + name);
}

void RecordingDesktop::openUrl(const QUrl &url)
{
    calls.append(QStringLiteral("open ") + url.toString());
}

std::optional<InstalledApplication> RecordingDesktop::findApplication(const QString &)
{
    return installed;
}

void RecordingDesktop::quitApplication(const RunningApplication &application)
{
    calls.append(QStringLiteral("quit ") + application.name);
    if (applicationsQuit)
        applications.removeIf([&](const RunningApplication &a) {
            return a.processId == application.processId && a.name == application.name;
        });
}

void RecordingDesktop::whenGone(const QList<qint64> &processIds, std::chrono::milliseconds,
                                std::function<void(bool)> done)
{
    calls.append(QStringLiteral("wait for %1").arg(processIds.size()));
    done(applicationsQuit);
}

} // namespace zc::test

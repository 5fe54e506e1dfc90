#pragma once

#include "keyboardcontrols.h"
#include "linux/linuxdesktop.h"
#include "logcapture.h"
#include "mousecontrols.h"
#include "x11observerprocess.h"
#include "xvfbserver.h"

#include <QCoreApplication>
#include <QUrl>

#include <memory>

namespace zc::test {

// A private Xvfb, an independent client observing it, and the program's own desktop services and
// executors on it, as the command servers would use them.
struct X11Session
{
    XvfbServer xvfb;
    X11ObserverProcess observer;
    LogCapture capture;
    DesktopServices desktop;
    std::unique_ptr<MouseControls> mouseControls;
    std::unique_ptr<KeyboardControls> keyboardControls;

    // Empty when everything runs; otherwise what failed.
    QString start()
    {
        if (!xvfb.start())
            return QStringLiteral("Xvfb did not start: ") + xvfb.errorOutput();
        if (!observer.start(xvfb.display()))
            return QStringLiteral("the observer did not start");
        qputenv("DISPLAY", xvfb.display().toLocal8Bit());
        qunsetenv("WAYLAND_DISPLAY");
        desktop = createLinuxDesktop(capture.log);
        if (!desktop.inputAvailable())
            return desktop.inputUnavailableReason();
        mouseControls = std::make_unique<MouseControls>(*desktop.input, capture.log);
        keyboardControls = std::make_unique<KeyboardControls>(*desktop.input, *desktop.text,
                                                              *desktop.power, capture.log);
        return {};
    }

    void stop()
    {
        keyboardControls.reset();
        mouseControls.reset();
        desktop = DesktopServices();
    }

    // Each request after the previous one's queued events.
    void send(const QStringList &requests)
    {
        for (const QString &request : requests) {
            if (request.startsWith(QLatin1String("/mouse")))
                mouseControls->handleMouseEvent(request);
            else
                keyboardControls->handleKeyboardEvent(request);
            QCoreApplication::processEvents();
        }
    }

    static QString typing(const QString &text)
    {
        return QStringLiteral("/keyboard?key=textinput&value=") +
               QString::fromLatin1(QUrl::toPercentEncoding(text));
    }
};

} // namespace zc::test

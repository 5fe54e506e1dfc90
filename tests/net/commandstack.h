#pragma once

#include "computerdetails.h"
#include "discoveryresponder.h"
#include "fakesysteminfo.h"
#include "logcapture.h"
#include "recordingdesktop.h"
#include "requesthandler.h"
#include "zantipreferences.h"

#include <QTemporaryDir>

namespace zc::test {

// What the command servers stand on, built afresh for every test: a recording desktop, a
// system that answers as told, preferences in a folder of their own, and one log for it all.
struct CommandStack
{
    RecordingDesktop desktop;
    FakeSystemInfo system;
    LogCapture capture;
    QTemporaryDir settingsDirectory;
    ZantiPreferences preferences{settingsDirectory.path(), capture.log};
    PrivateSettings privateSettings{settingsDirectory.path(), capture.log};
    ComputerDetails details{system, preferences, capture.log};
    DiscoveryResponder responder{details, preferences, capture.log};
    RequestHandler handler{desktop, desktop, desktop, desktop, preferences, capture.log};
};

} // namespace zc::test

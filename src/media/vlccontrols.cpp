#include "vlccontrols.h"

#include "iworkspace.h"
#include "launchurls.h"
#include "log.h"

namespace zc {

VlcControls::VlcControls(IWorkspace &workspace, Log &log) : m_workspace(workspace), m_log(log) {}

void VlcControls::handle(const QString &command)
{
    if (command != m_vlc.StartVLC) {
        m_log.line("Unknown VLC ommand");
        return;
    }
    const QString vlcName = AppsToLaunch().Vlc;
    bool running = false;
    for (const RunningApplication &application : m_workspace.runningApplications()) {
        if (!application.regular)
            continue;
        m_log.line(application.name);
        running = running || application.name == vlcName;
    }
    if (!running)
        m_workspace.launchApplication(vlcName);
}

} // namespace zc

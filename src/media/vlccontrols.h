#pragma once

#include <QLatin1String>
#include <QString>

namespace zc {

class IWorkspace;
class Log;

// Names of the VLC commands; only StartVLC is acted upon.
struct Vlc
{
    QLatin1String StartVLC{"start_vlc"};
    QLatin1String ScheduleVLCExit{"schedule_vlc_exit"};
    QLatin1String CancelVLCExitSchedule{"cancel_vlc_exit_schedule"};
    QLatin1String GetRemainingTimeForVLCExit{"get_time_for_vlc_exit"};
    QLatin1String SetupVLCWebInterface{"setup_vlc_web_interface"};
};

// Starts VLC when the phone asks for it and it is not running yet.
class VlcControls
{
public:
    VlcControls(IWorkspace &workspace, Log &log);

    void handle(const QString &command);

private:
    Vlc m_vlc;
    IWorkspace &m_workspace;
    Log &m_log;
};

} // namespace zc

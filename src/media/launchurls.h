#pragma once

#include <QLatin1String>
#include <QString>

namespace zc {

class IWorkspace;
class Log;

// The sites a phone may open, written exactly as it sends them.
struct AppsToLaunch
{
    QLatin1String Vlc{"VLC"};
    QLatin1String Chrome{"https://"};
    QLatin1String Youtube{"https://www.youtube.com"};
    QLatin1String Netflix{"https://www.netflix.com"};
    QLatin1String PrimeVideo{"https://www.primevideo.com"};
    QLatin1String Hulu{"https://www.hulu.com"};
    QLatin1String Hotstar{"https://www.hotstar.com"};
    QLatin1String HBO{"https://www.hbo.com/"};
};

// Opens one of the allowed sites in the default browser; anything else is refused.
class LaunchUrls
{
public:
    LaunchUrls(IWorkspace &workspace, Log &log);

    void launch(const QString &address);

private:
    AppsToLaunch m_appsToLaunch;
    IWorkspace &m_workspace;
    Log &m_log;
};

} // namespace zc

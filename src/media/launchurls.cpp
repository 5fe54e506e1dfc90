#include "launchurls.h"

#include "iworkspace.h"
#include "log.h"

#include <QUrl>

namespace zc {

LaunchUrls::LaunchUrls(IWorkspace &workspace, Log &log) : m_workspace(workspace), m_log(log) {}

void LaunchUrls::launch(const QString &address)
{
    const AppsToLaunch &apps = m_appsToLaunch;
    bool allowed = false;
    for (QLatin1String site : {apps.Chrome, apps.Youtube, apps.Netflix, apps.PrimeVideo,
                               apps.Hotstar, apps.HBO, apps.Hulu})
        allowed = allowed || address == site;
    if (!allowed) {
        m_log.line("Unknown Command: ", address);
        return;
    }
    const QUrl url(address, QUrl::StrictMode);
    if (url.isValid())
        m_workspace.openUrl(url);
}

} // namespace zc

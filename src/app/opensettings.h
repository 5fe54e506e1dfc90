#pragma once

#include <QString>

namespace zc {

class IWorkspace;
class Log;

// `zanti-connect --open-settings`: opens the running program's settings page, key included, in
// the desktop's browser. Its address is in `addressFile` while the page is served. Returns the
// exit status: 0 when opened, 1 when no running program serves the page.
int openSettingsPage(const QString &addressFile, IWorkspace &workspace, Log &log);

} // namespace zc

#include "waylandkeymap.h"

namespace zc {

std::unique_ptr<WaylandKeymap> WaylandKeymap::open(Log &, QString &failure)
{
    failure = QStringLiteral("this build cannot read Wayland keymaps");
    return nullptr;
}

} // namespace zc

#include "wlrootsinput.h"

namespace zc {

bool wlrootsInputOffered()
{
    return false;
}

std::unique_ptr<ILinuxInput> openWlrootsInput(Log &, QString &failure)
{
    failure = QStringLiteral("this build has no wlroots input backend");
    return nullptr;
}

} // namespace zc

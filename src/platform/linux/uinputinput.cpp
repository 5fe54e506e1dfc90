#include "uinputinput.h"

namespace zc {

bool uinputWritable()
{
    return false;
}

std::unique_ptr<ILinuxInput> openUinputInput(Log &, QString &failure)
{
    failure = QStringLiteral("this build has no uinput backend");
    return nullptr;
}

} // namespace zc

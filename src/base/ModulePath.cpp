#include "base/ModulePath.h"

#include <climits>
#include <unistd.h>

CUString GetModulePath(int /*flag*/)
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return CUString(".");
    std::string text(path, static_cast<size_t>(length));
    auto slash = text.rfind('/');
    if (slash == std::string::npos)
        return CUString(".");
    text.resize(slash == 0 ? 1 : slash);
    return CUString(std::move(text));
}

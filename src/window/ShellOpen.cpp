#include "window/ShellOpen.h"

#include <QDesktopServices>
#include <QUrl>

namespace
{
ShellOpener& CurrentOpener()
{
    static ShellOpener opener;
    return opener;
}
} // namespace

int ShellOpen(const char* address)
{
    QUrl url(QString::fromLocal8Bit(address), QUrl::StrictMode);
    if (!url.isValid())
        return 0;
    const ShellOpener& opener = CurrentOpener();
    if (opener)
        return opener(url);
    return QDesktopServices::openUrl(url) ? 1 : 0;
}

ShellOpener SetShellOpener(ShellOpener opener)
{
    ShellOpener previous = std::move(CurrentOpener());
    CurrentOpener() = std::move(opener);
    return previous;
}

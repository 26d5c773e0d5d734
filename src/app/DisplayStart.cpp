#include "app/DisplayStart.h"

#include "base/CScopedFd.h"

#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

bool IsSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// Connects to the compositor's socket as libwayland would and hangs up at once.
int CanConnect(const std::string& path, CUString& error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "the path is too long";
        return 0;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const CScopedFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.IsOpen() ||
        connect(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address)) {
        error = std::strerror(errno);
        return 0;
    }
    return 1;
}

// (category, text) of each message Qt gave while its platform plugin started.
std::vector<std::pair<std::string, std::string>> g_held;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const std::string category = context.category ? context.category : "";
    if (type != QtFatalMsg) {
        g_held.emplace_back(category, qFormatLogMessage(type, context, text).toStdString());
        return;
    }
    // The plugin loader's own lines say which plugin failed; the plugins say why.
    std::string why, loader;
    for (const auto& [from, line] : g_held) {
        std::string& into = from == "qt.qpa.plugin" ? loader : why;
        into += (into.empty() ? "" : "; ") + line;
    }
    if (loader.find("Could not find the Qt platform plugin \"wayland\"") != loader.npos &&
        IsSet("WAYLAND_DISPLAY") && !IsSet("DISPLAY"))
        why = "Qt's Wayland platform plugin is not installed (Debian package qt6-wayland)";
    if (why.empty())
        why = loader.empty() ? "Qt has no platform plugin that starts here" : loader;
    std::fprintf(stderr, "kivora: no display to show the window on: %s\n", why.c_str());
    _exit(1);
}

} // namespace

int FindDisplay(CUString& reason)
{
    if (IsSet("QT_QPA_PLATFORM"))
        return 1;
    if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) {
        reason = "no display to show the window on (DISPLAY, WAYLAND_DISPLAY and "
                 "QT_QPA_PLATFORM are unset)";
        return 0;
    }
    // With X11 beside it Qt falls back to that; a display it cannot open is caught later.
    if (IsSet("DISPLAY") || !IsSet("WAYLAND_DISPLAY") || IsSet("WAYLAND_SOCKET"))
        return 1;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (name[0] != '/' && !(runtime && *runtime)) {
        reason.Format("no display to show the window on: WAYLAND_DISPLAY=%s is a name "
                      "in XDG_RUNTIME_DIR, which is unset",
                      name);
        return 0;
    }
    const std::string path = name[0] == '/' ? name : std::string(runtime) + "/" + name;
    CUString error;
    if (!CanConnect(path, error)) {
        reason.Format("no display to show the window on: no Wayland compositor at %s (%s)",
                      path.c_str(), error.c_str());
        return 0;
    }
    return 1;
}

void HoldPlatformMessages()
{
    qInstallMessageHandler(HoldMessage);
}

void ReleasePlatformMessages()
{
    qInstallMessageHandler(nullptr);
    for (const auto& held : g_held)
        std::fprintf(stderr, "%s\n", held.second.c_str());
    g_held.clear();
}

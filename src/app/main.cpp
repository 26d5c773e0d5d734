#include "app/CAboutDlg.h"
#include "app/CMainApp.h"
#include "users/CSettings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

bool IsSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

// g_usersLock is a static of the core, so it exists before the application and
// outlives it.
int main(int argc, char** argv)
{
    // Answered before Qt starts: they need no display and touch no file.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("KIVORA %s\n", CAboutDlg::VersionText().c_str());
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("Usage: kivora [--version | --help]\n"
                    "Forwards the UDP broadcasts to 255.255.255.255 that this machine sends to\n"
                    "the players checked in its User List. Settings file: %s\n",
                    CSettings::DefaultPath().c_str());
        return 0;
    }
    // Without a display Qt aborts; say why in one line instead.
    if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY") && !IsSet("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "kivora: no display to show the window on (DISPLAY, "
                             "WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset)\n");
        return 1;
    }
    CMainApp::CatchTerminationSignals();
    CMainApp app(argc, argv);
    app.InitInstance();
    return 0;
}

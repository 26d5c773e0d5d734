#include "app/CommandLine.h"

#include "app/CAboutDlg.h"
#include "forward/CForwardLink.h"
#include "users/CSettings.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

void PrintUsage()
{
    const CUString helper = CForwardLink::GetHelperPath();
    std::printf(
        "Usage: kivora [-h | --help | --version]\n"
        "Captures the UDP broadcasts to 255.255.255.255 that this machine sends (LAN games\n"
        "announcing their sessions) and re-sends each one to the players checked in the\n"
        "User List, so that LAN-only games find each other across the internet.\n"
        "Everything else is set in the window; it needs a display (Wayland or X11).\n"
        "\n"
        "  -h, --help  print this text and exit\n"
        "  --version   print the version and exit\n"
        "\n"
        "Settings file: %s\n"
        "Forwarding helper, looked for beside the program, then in ../libexec/kivora:\n"
        "  %s%s\n",
        CSettings::DefaultPath().c_str(), helper.c_str(),
        access(helper.c_str(), X_OK) == 0 ? "" : " (missing)");
}

} // namespace

int AnswerCommandLine(int argc, char** argv)
{
    bool help = false, version = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            help = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            version = true;
        } else {
            std::fprintf(stderr, "kivora: unknown %s '%s'; kivora --help lists the options\n",
                         argv[i][0] == '-' ? "option" : "argument", argv[i]);
            return 2;
        }
    }
    if (help)
        PrintUsage();
    else if (version)
        std::printf("KIVORA %s\n", CAboutDlg::VersionText().c_str());
    return help || version ? 0 : -1;
}

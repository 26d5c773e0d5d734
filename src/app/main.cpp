#include "app/CMainApp.h"
#include "app/CommandLine.h"
#include "app/DisplayStart.h"

#include <cstdio>

// g_usersLock is a static of the core, so it exists before the application and
// outlives it.
int main(int argc, char** argv)
{
    if (const int status = AnswerCommandLine(argc, argv); status >= 0)
        return status;
    // Without a display Qt aborts; say why in one line instead.
    CUString reason;
    if (!FindDisplay(reason)) {
        std::fprintf(stderr, "kivora: %s\n", reason.c_str());
        return 1;
    }
    CMainApp::CatchTerminationSignals();
    HoldPlatformMessages();
    CMainApp app(argc, argv);
    ReleasePlatformMessages();
    app.InitInstance();
    return 0;
}

#include "app/CMainApp.h"

// g_usersLock is a static of the core, so it exists before the application and
// outlives it.
int main(int argc, char** argv)
{
    CMainApp app(argc, argv);
    app.InitInstance();
    return 0;
}

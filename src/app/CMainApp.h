#pragma once

#include <QApplication>

// The application: runs the main window as a modal dialog for the whole life of the
// program, with no loop of its own.
class CMainApp : public QApplication
{
    Q_OBJECT
public:
    CMainApp(int& argc, char** argv);

    // Shows the main window until it closes; gives false, as there is nothing left
    // to run afterwards.
    bool InitInstance();

    // Makes SIGTERM, SIGINT and SIGHUP (a logout, Ctrl+C, a closed terminal) close the
    // main window as Escape does, so that forwarding stops and the settings are saved.
    // Called first thing in main: a signal that comes before the window exists waits
    // for it. Gives non-zero when the handlers are in place.
    static int CatchTerminationSignals();
};

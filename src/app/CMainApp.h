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
};

#include "app/CMainApp.h"

#include "app/CMainDlg.h"

CMainApp::CMainApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("KIVORA"));
    setApplicationVersion(QStringLiteral("1.04"));
}

bool CMainApp::InitInstance()
{
    CMainDlg dialog(nullptr);
    dialog.exec();
    return false;
}

#include "app/CMainApp.h"

#include "app/CMainDlg.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// The handler may only make async-signal-safe calls, so it writes one byte to this
// pipe and the GUI thread, woken by the byte, does the closing.
int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// Closes the modal windows open over the main window from the top down, then the main
// window itself, each as Escape would.
void CloseAll(CMainDlg& main)
{
    for (int i = 0; i < 16; ++i) {
        auto* top = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!top || top == &main)
            break;
        top->reject();
    }
    main.reject();
}

} // namespace

CMainApp::CMainApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("KIVORA"));
    setApplicationVersion(QStringLiteral("1.04"));
    setDesktopFileName(QStringLiteral("net.example.kivora"));
}

int CMainApp::CatchTerminationSignals()
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 0;
    struct sigaction action {
    };
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        if (sigaction(signal, &action, nullptr) != 0)
            return 0;
    return 1;
}

bool CMainApp::InitInstance()
{
    CMainDlg dialog(nullptr);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    notifier.setEnabled(g_signalPipe[0] >= 0);
    connect(&notifier, &QSocketNotifier::activated, &dialog, [&dialog] {
        char bytes[16];
        while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        CloseAll(dialog);
    });
    dialog.exec();
    return false;
}

#include "app/CMainApp.h"

#include "app/CMainDlg.h"
#include "app/CSingleInstance.h"
#include "window/Messages.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
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

// Closes the modal window open over the main window, if any, then the main window, each
// as Escape would. The main window waits until the command that opened the other one has
// finished (AutoConfig ends its session, whose thread may still change the users), that
// is until its own loop runs again.
void CloseAll(CMainDlg& main)
{
    auto* top = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (top && top != &main)
        top->reject();
    if (QThread::currentThread()->loopLevel() > 1) {
        QTimer::singleShot(10, &main, [&main] { CloseAll(main); });
        return;
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
    // Claimed before the window reads the file, released after it has written it.
    CSingleInstance instance(CSettings::DefaultPath());
    std::unique_ptr<CMainDlg> dialog;
    std::unique_ptr<QSocketNotifier> notifier;
    if (g_signalPipe[0] >= 0) {
        notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        connect(notifier.get(), &QSocketNotifier::activated, this, [&dialog] {
            char bytes[16];
            while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            // Nobody is there to answer a message box at a logout: what closing has to
            // say (a save that failed) goes to stderr.
            SetMessageHandler([](const CMessageRequest& message) {
                std::fprintf(stderr, "KIVORA: %s\n", message.Text.c_str());
                return 0;
            });
            if (dialog)
                CloseAll(*dialog);
            else if (auto* message = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                message->reject(); // the message that another copy runs
        });
    }
    if (!instance.Claim()) {
        std::fprintf(stderr, "%s\n", instance.Message().c_str());
        if (!instance.Raised())
            Error("%s", instance.Message().c_str());
        return false;
    }
    dialog = std::make_unique<CMainDlg>(nullptr);
    instance.SetWindow(dialog.get());
    dialog->exec();
    return false;
}

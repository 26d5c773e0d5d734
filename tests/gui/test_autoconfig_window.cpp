// The AutoConfig window as a player sees it (button and log) over real sessions on
// loopback port 8087.

#include "../core/AutoConfigTestKit.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigDlg.h"
#include "window/CLogEdit.h"
#include "window/ControlId.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace actest;

namespace
{

bool ProcessUntil(const std::function<bool()>& done)
{
    return WaitUntil([&] {
        QApplication::processEvents();
        return done();
    });
}

QString LogText(CAutoConfigDlg& dlg)
{
    auto* log = qobject_cast<QPlainTextEdit*>(FindControl(&dlg, CAutoConfigDlg::IDC_AC_LOG));
    return log ? log->toPlainText() : QString();
}

QPushButton* Button(CAutoConfigDlg& dlg)
{
    return qobject_cast<QPushButton*>(FindControl(&dlg, CAutoConfigDlg::IDC_AC_CONNECT));
}

bool LogShows(CAutoConfigDlg& dlg, const char* line)
{
    return ProcessUntil([&] { return LogText(dlg).split('\n').contains(QString(line)); });
}

struct Settings { // a player's settings that are never written
    Settings(const char* name, const char* host)
    {
        value.AutoName = name;
        value.AutoHost = host;
        value.SetPath("/nonexistent/KIVORA.cfg");
    }
    CSettings value;
};

TEST(AutoConfigWindow, FailedConnectOffersConnectAgain)
{
    if (SomeoneListens(AutoConfigPort))
        GTEST_SKIP() << "something listens on port 8087";
    Settings settings("Cy", "127.0.0.1");
    CAutoConfigDlg dlg(&settings.value, nullptr);
    EXPECT_EQ(dlg.windowTitle(), "Auto Config");
    dlg.show();
    ASSERT_TRUE(LogShows(dlg, "Error: Could not connect to host."));
    EXPECT_EQ(Button(dlg)->text(), "Connect");
    EXPECT_TRUE(Button(dlg)->isEnabled());

    Button(dlg)->click();
    EXPECT_TRUE(
        ProcessUntil([&] { return LogText(dlg).count("Error: Could not connect to host.") == 2; }));
    EXPECT_TRUE(Button(dlg)->isEnabled());
}

TEST(AutoConfigWindow, TakenPortOffersHostThenSyncsClients)
{
    int port = AutoConfigPort;
    CFd blocker = ListenLoopback(port);
    if (blocker.Get() < 0)
        GTEST_SKIP() << "port 8087 is in use by someone else";
    Settings settings("Hal", "");
    CAutoConfigDlg dlg(&settings.value, nullptr);
    dlg.show();
    ASSERT_TRUE(LogShows(dlg, "Error in socket listen."));
    EXPECT_EQ(Button(dlg)->text(), "Host");
    EXPECT_TRUE(Button(dlg)->isEnabled());

    blocker.Reset();
    Button(dlg)->click();
    ASSERT_TRUE(LogShows(dlg, "Host started; waiting for clients."));
    EXPECT_EQ(Button(dlg)->text(), "Sync");
    EXPECT_TRUE(Button(dlg)->isEnabled());

    Button(dlg)->click();
    EXPECT_TRUE(LogShows(dlg, "Sent info for 1 users."));

    // Clients come and go; the button stays Sync.
    CFd a = ConnectFrom("127.0.0.2", AutoConfigPort);
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    ASSERT_TRUE(LogShows(dlg, "127.0.0.2 (Al) connected successfully."));
    Button(dlg)->click();
    EXPECT_TRUE(LogShows(dlg, "Sent info for 2 users."));
    EXPECT_TRUE(ReadFrame(a.Get()).has_value());
    a.Reset();
    EXPECT_TRUE(LogShows(dlg, "127.0.0.2 (Al) disconnected."));
    EXPECT_EQ(Button(dlg)->text(), "Sync");
    EXPECT_TRUE(Button(dlg)->isEnabled());
    CCSLock lock(g_usersLock);
    EXPECT_EQ(settings.value.Users.GetCount(), 1);
}

TEST(AutoConfigWindow, ClosingAWindowEndsItsSessionAndClientsGetConnectBack)
{
    Settings hostSettings("Hal", "");
    hostSettings.value.ExternalIP = "10.9.8.7";
    auto hostDlg = std::make_unique<CAutoConfigDlg>(&hostSettings.value, nullptr);
    hostDlg->show();
    ASSERT_TRUE(LogShows(*hostDlg, "Host started; waiting for clients.")) << "port 8087 is taken";
    Settings cy("Cy", "127.0.0.1"), di("Di", "127.0.0.1");
    CAutoConfigDlg cyDlg(&cy.value, nullptr);
    cyDlg.show();
    auto diDlg = std::make_unique<CAutoConfigDlg>(&di.value, nullptr);
    diDlg->show();
    ASSERT_TRUE(LogShows(cyDlg, "Connected to host; waiting for sync."));
    EXPECT_FALSE(Button(cyDlg)->isEnabled());
    ASSERT_TRUE(LogShows(*hostDlg, "127.0.0.1 (Cy) connected successfully."));
    ASSERT_TRUE(LogShows(*hostDlg, "127.0.0.1 (Di) connected successfully."));

    diDlg.reset(); // waits for its poll thread, then closes the connection
    EXPECT_TRUE(LogShows(*hostDlg, "127.0.0.1 (Di) disconnected."));
    Button(*hostDlg)->click();
    ASSERT_TRUE(LogShows(cyDlg, "10.9.8.7 (Hal)"));
    EXPECT_FALSE(Button(cyDlg)->isEnabled());

    CFd raw = ConnectFrom("127.0.0.2", AutoConfigPort);
    ASSERT_GE(raw.Get(), 0);
    hostDlg.reset();
    EXPECT_TRUE(WaitForClose(raw.Get()));
    EXPECT_FALSE(SomeoneListens(AutoConfigPort));
    EXPECT_TRUE(LogShows(cyDlg, "Connection closed by host."));
    EXPECT_TRUE(ProcessUntil([&] { return Button(cyDlg)->isEnabled(); }));
    EXPECT_EQ(Button(cyDlg)->text(), "Connect");
    CCSLock lock(g_usersLock); // the session wrote into the window's own settings
    EXPECT_EQ(cy.value.ExternalIP, "127.0.0.1");
}

TEST(AutoConfigLogEdit, LinesFromAnyThreadArriveInOrderAndStopWithTheControl)
{
    QWidget parent;
    CLogEdit log(&parent);
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i)
            log.Message("line %d", i);
    });
    writer.join();
    log.Message("%s (%s)", "10.0.0.1", "Al");
    ASSERT_TRUE(ProcessUntil([&] { return log.GetControl()->blockCount() >= 101; }));
    QStringList lines = log.GetControl()->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 101);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(lines[i], QString("line %1").arg(i));
    EXPECT_EQ(lines[100], "10.0.0.1 (Al)");
    EXPECT_TRUE(log.GetControl()->isReadOnly());

    // Queued lines and lines after the control is gone are dropped without harm.
    log.Message("queued");
    delete log.GetControl();
    std::thread late([&] { log.Message("late"); });
    late.join();
    QApplication::processEvents();
    EXPECT_EQ(log.GetControl(), nullptr);
}

} // namespace

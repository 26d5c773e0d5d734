// The AutoConfig window as a player sees it (button and log) over real sessions on
// loopback port 8087, and its log control.
#include "../core/AutoConfigTestKit.h"
#include "MainDlgHarness.h"
#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigDlg.h"
#include "window/CLogEdit.h"
#include "window/ControlId.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>

#include <gtest/gtest.h>

using namespace actest;

namespace
{

struct Window { // a player's window on settings that are never written
    Window(const char* name, const char* host, const char* external = "")
    {
        settings.AutoName = name;
        settings.AutoHost = host;
        settings.ExternalIP = external;
        settings.SetPath("/nonexistent/KIVORA.cfg");
        dlg->show();
    }
    QPushButton* Button()
    {
        return qobject_cast<QPushButton*>(FindControl(dlg.get(), CAutoConfigDlg::IDC_AC_CONNECT));
    }
    QStringList Log() { return dlg->findChild<QPlainTextEdit*>()->toPlainText().split('\n'); }
    bool Shows(const QString& text) // waits for a line that reads `text` after its time
    {
        return ProcessUntil(
            [&] { return std::ranges::any_of(Log(), [&](auto& l) { return l.mid(9) == text; }); });
    }
    CSettings settings;
    std::unique_ptr<CAutoConfigDlg> dlg = std::make_unique<CAutoConfigDlg>(&settings, nullptr);
};

TEST(AutoConfigWindow, FailuresSayWhyAndTheButtonTriesAgain)
{
    ASSERT_LT(Loopback("127.0.0.1", AutoConfigPort).Get(), 0) << "something listens on 8087";
    Window cy("Cy", "127.0.0.1");
    ASSERT_TRUE(cy.Shows("Error: Could not connect to host.: Connection refused"));
    EXPECT_TRUE(
        QRegularExpression("^\\d\\d:\\d\\d:\\d\\d $").match(cy.Log()[0].left(9)).hasMatch());
    EXPECT_TRUE(cy.Button()->isEnabled() && cy.Button()->text() == "Connect");

    ScopedFd blocker = Loopback("127.0.0.1", AutoConfigPort, true);
    Window hal("Hal", "", "10.9.8.7");
    ASSERT_TRUE(hal.Shows("Error in socket listen.: Address already in use"));
    EXPECT_TRUE(hal.Button()->isEnabled() && hal.Button()->text() == "Host");
    blocker.Reset();
    hal.Button()->click();
    ASSERT_TRUE(hal.Shows("Host started; waiting for clients."));
    EXPECT_TRUE(hal.Button()->isEnabled() && hal.Button()->text() == "Sync");
    // What the others need to know, the external IP first.
    const QString need = hal.Log().last().mid(9);
    EXPECT_TRUE(
        need.startsWith("Others connect to 10.9.8.7") &&
        need.endsWith(" on TCP port 8087; the router must forward that port to this machine."))
        << need.toStdString();
}

TEST(AutoConfigWindow, AWholeExchangeAndClosingEndsIt)
{
    auto hal = std::make_unique<Window>("Hal", "", "10.9.8.7");
    ASSERT_TRUE(hal->Shows("Host started; waiting for clients.")) << "port 8087 is taken";
    Window cy("Cy", "127.0.0.1");
    ASSERT_TRUE(cy.Shows("Connected to host; waiting for sync."));
    EXPECT_FALSE(cy.Button()->isEnabled());
    ASSERT_TRUE(hal->Shows("127.0.0.1 (Cy) connected successfully."));
    hal->Button()->click();
    ASSERT_TRUE(cy.Shows("10.9.8.7 (Hal)"));
    EXPECT_TRUE(hal->Shows("Sent info for 2 users."));
    hal.reset();
    EXPECT_TRUE(cy.Shows("Connection closed by host."));
    EXPECT_TRUE(ProcessUntil([&] { return cy.Button()->isEnabled(); }));
    CCSLock lock(g_usersLock); // the session wrote into the window's own settings
    EXPECT_EQ(cy.settings.ExternalIP, "127.0.0.1");
    EXPECT_EQ(cy.settings.Users.GetHead()->Name, "Hal");
}

// Faults: times in UTC (unnoticed where the tests run under UTC: here three hours east); a
// name that is not UTF-8 shown with a replacement mark; the lines not kept or not followed.
TEST(AutoConfigLogEdit, KeepsItsLastLinesAndShowsTheNewest)
{
    QWidget parent;
    CLogEdit log(&parent);
    QPlainTextEdit* control = log.GetControl();
    control->resize(300, 100);
    parent.show();
    const std::string zone = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "KVR-3", 1), tzset();
    auto threeHoursEast = [] {
        std::time_t now = std::time(nullptr) + 3 * 3600;
        std::tm time{};
        char text[8];
        return QString(std::strftime(text, sizeof text, "%H:%M", gmtime_r(&now, &time)) ? text
                                                                                        : "");
    };
    const QString before = threeHoursEast();
    log.Message("%s (%s) connected successfully.", "10.0.0.1", "Jos\xe9");
    ASSERT_TRUE(ProcessUntil([&] { return !control->toPlainText().isEmpty(); }));
    const QString line = control->toPlainText();
    EXPECT_TRUE(line.startsWith(before) || line.startsWith(threeHoursEast())) << line.toStdString();
    EXPECT_EQ(line.mid(9), "10.0.0.1 (Jos\u00e9) connected successfully.");
    zone.empty() ? unsetenv("TZ") : setenv("TZ", zone.c_str(), 1), tzset();
    control->clear();
    // Far more lines than the GUI thread takes meanwhile: the queue keeps the newest.
    std::thread([&] {
        for (int i = 0; i < 5000; ++i)
            log.Message("line %d", i);
    }).join();
    ASSERT_TRUE(ProcessUntil([&] { return control->toPlainText().endsWith("line 4999"); }));
    QStringList lines = control->toPlainText().split('\n');
    EXPECT_EQ(lines.size(), CLogEdit::MaxLines);
    EXPECT_EQ(lines.first().mid(9), "(4001 lines dropped while the window was busy)");
    EXPECT_EQ(lines.at(1).mid(9), "line 4001");

    control->verticalScrollBar()->setValue(0); // the player scrolled up
    for (int i = 0; i < 10; ++i)
        log.Message("more %d", i);
    ASSERT_TRUE(ProcessUntil([&] { return control->toPlainText().endsWith("more 9"); }));
    lines = control->toPlainText().split('\n');
    EXPECT_EQ(lines.size(), CLogEdit::MaxLines + 1);
    EXPECT_EQ(lines.first(), "(10 older lines dropped)");
    EXPECT_EQ(control->verticalScrollBar()->value(), control->verticalScrollBar()->maximum());
}

} // namespace

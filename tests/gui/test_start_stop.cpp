#include "MainDlgHarness.h"
#include "ScopedCapabilityDrop.h"

#include "app/Resource.h"
#include "autoconfig/CAutoConfigDlg.h"

#include <QHelpEvent>
#include <QLineEdit>
#include <QToolTip>

#include <linux/capability.h>

namespace
{

const char* const TwoUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n"
                             "127.0.0.11\tAl\n;127.0.0.12\tBo\n";

} // namespace

using StartButton = MainWindowTest;

TEST_F(StartButton, StartAndAutoConfigCheckTheirInputFirst)
{
    Open();
    MessageRecorder messages;
    ModalScript windows;
    QLineEdit* external = Control<QLineEdit>(IDC_EXTERNAL_IP);
    external->setFocus();
    Control<QPushButton>(IDC_AUTO_CONFIG)->click(); // without a name
    EXPECT_EQ(windows.Runs, 0);
    EXPECT_EQ(Dialog().focusWidget(), Control<QWidget>(IDC_AUTO_NAME));
    TypeInto(external, "10.0.0.256", true);
    Control<QPushButton>(IDC_START)->click();
    TypeInto(external, "10.0.0.5", true);
    Control<QPushButton>(IDC_START)->click();
    EXPECT_EQ(messages.Errors,
              (Strings{"Enter your name first", "Enter a valid external IP address first",
                       "Add some users to forward to first"}));
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "&Start");
}

TEST_F(StartButton, CaptureNotPermittedIsShownAndNothingChanges)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to take CAP_NET_RAW away and back";
    WriteConfig(TwoUsers);
    Open();
    MessageRecorder messages;
    {
        ScopedCapabilityDrop drop(CAP_NET_RAW);
        ASSERT_TRUE(drop.Ok());
        Dialog().OnStart();
    }
    ASSERT_EQ(messages.Errors.size(), 1u);
    EXPECT_NE(messages.Errors[0].find("CAP_NET_RAW"), std::string::npos) << messages.Errors[0];
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START).remove('&'), "Start");
    // The refused Start leaves every check box as it was.
    EXPECT_TRUE(RowChecked(0));
    EXPECT_EQ(Dialog().Settings().Users.GetHead()->Forward, 1);
}

TEST_F(StartButton, StartWritesTheFileAndPressingAgainOrTypingTheExternalIPStops)
{
    WriteConfig(TwoUsers);
    Open();
    WriteConfig("stale");
    START_FORWARDING_OR_SKIP();
    EXPECT_EQ(ButtonText(IDC_START), "Stop");
    EXPECT_EQ(ReadWholeFile(ConfigPath()), TwoUsers);
    // Its tooltip does not follow the caption.
    QWidget* start = Control<QWidget>(IDC_START);
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), start->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(start, &help);
    EXPECT_EQ(QToolTip::text(), "Start forwarding packets to the checked users");
    QToolTip::hideText();
    Control<QPushButton>(IDC_START)->click();
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Start");

    // Typing into the name or host, Help and the About box leave it running.
    START_FORWARDING_OR_SKIP();
    TypeInto(Control<QLineEdit>(IDC_AUTO_NAME), "x");
    TypeInto(Control<QLineEdit>(IDC_AUTO_HOST), "1");
    EXPECT_TRUE(Dialog().IsForwarding());
    EXPECT_EQ(Dialog().Settings().AutoName.Str(), "Annx");
    ModalScript about([](QDialog&) { return 1; });
    Control<QPushButton>(IDC_HELP_BUTTON)->click();
    EXPECT_EQ(about.Runs, 1);
    EXPECT_TRUE(Dialog().IsForwarding());

    QLineEdit* external = Control<QLineEdit>(IDC_EXTERNAL_IP);
    external->setFocus();
    external->end(false);
    SendKey(external, Qt::Key_Backspace); // but the external IP stops it
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Start");
    EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), "127.0.0.");
}

TEST_F(StartButton, ClosingWhileForwardingStopsAndWritesTheFile)
{
    WriteConfig(TwoUsers);
    Open();
    START_FORWARDING_OR_SKIP();
    ClickCheckBox(1); // stops; start again with both users checked
    START_FORWARDING_OR_SKIP();
    WriteConfig("stale");
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n"
              "127.0.0.11\tAl\n127.0.0.12\tBo\n");
}

using AutoConfigCommand = MainWindowTest;

TEST_F(AutoConfigCommand, StopsForwardingAndShowsWhatTheSessionChanged)
{
    WriteConfig("AutoName=Ann\nAutoHost=127.0.0.1\nExternalIP=127.0.0.1\n127.0.0.11\tAl\n");
    Open();
    START_FORWARDING_OR_SKIP();
    bool forwardingDuringSession = true;
    ModalScript session([&](QDialog& dialog) {
        EXPECT_NE(dynamic_cast<CAutoConfigDlg*>(&dialog), nullptr);
        forwardingDuringSession = Dialog().IsForwarding();
        // What a received user list does: new players and this player's own address.
        CCSLock lock(g_usersLock);
        Dialog().Settings().AddOrUpdateUser("Host", "127.0.0.2");
        Dialog().Settings().AddOrUpdateUser("Ann", "127.0.0.3");
        return 0;
    });
    Dialog().OnAutoConfig();
    EXPECT_FALSE(forwardingDuringSession);
    EXPECT_EQ(ButtonText(IDC_START), "Start");
    EXPECT_EQ(Names(), (Strings{"Host", "Al"}));
    EXPECT_EQ(Text(IDC_EXTERNAL_IP), "127.0.0.3");
    EXPECT_EQ(Text(IDC_AUTO_NAME), "Ann");
    EXPECT_EQ(Text(IDC_AUTO_HOST), "127.0.0.1");
}

#include "MainDlgHarness.h"
#include "NetNs.h"

#include "app/CSingleInstance.h"
#include "app/Resource.h"
#include "forward/CForwardLink.h"

#include <QLabel>
#include <QLineEdit>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include <map>

const char* const TwoUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n"
                             "127.0.0.11\tAl\n;127.0.0.12\tBo\n";

using StartButton = MainWindowTest;

// Faults: Start or AutoConfig going ahead on missing or bad input, the focus not on the field
// to correct; a helper that could not start not shown, or the button left on "Stop".
TEST_F(StartButton, StartAndAutoConfigCheckTheirInputFirstAndShowWhyTheHelperFailed)
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
    Dialog().Settings().AddOrUpdateUser("Al", "127.0.0.11");
    CForwardLink::SetHelperPath("/nonexistent/kivora-forward");
    Control<QPushButton>(IDC_START)->click();
    CForwardLink::SetHelperPath(KIVORA_FORWARD_HELPER);
    EXPECT_EQ(messages.Errors,
              (Strings{"Enter your name first", "Enter a valid external IP address first",
                       "Add some users to forward to first",
                       "Could not start the forwarding helper /nonexistent/kivora-forward: No "
                       "such file or directory"}));
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "&Start");
}

// Faults: the file not written at Start; a second press, Alt+S or a typed external IP not
// stopping, a typed name or host stopping; Alt+S lost with the caption's letter (it then types
// an "s" into the name); a helper that died leaving "Stop" up, its message or summary unsaid.
TEST_F(StartButton, StartWritesTheFileAndAPressTheExternalIPOrADeadHelperStops)
{
    WriteConfig(TwoUsers);
    Open();
    WriteConfig("stale");
    START_FORWARDING_OR_SKIP();
    EXPECT_EQ(ButtonText(IDC_START), "&Stop");
    EXPECT_EQ(ReadWholeFile(ConfigPath()), TwoUsers);
    Dialog().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Dialog()));
    for (bool forwarding : {false, true}) {
        QTest::keyClick(Control(IDC_AUTO_NAME), Qt::Key_S, Qt::AltModifier);
        EXPECT_TRUE(
            ProcessUntil([&] { return Dialog().IsForwarding() == forwarding; })); // animated
    }
    EXPECT_EQ(Text(IDC_AUTO_NAME) + "|" + Dialog().Settings().AutoName.Str(), "Ann|Ann");
    Control<QPushButton>(IDC_START)->click();
    EXPECT_EQ(ButtonText(IDC_START), "&Start");

    START_FORWARDING_OR_SKIP();
    TypeInto(Control<QLineEdit>(IDC_AUTO_NAME), "x");
    TypeInto(Control<QLineEdit>(IDC_AUTO_HOST), "1");
    EXPECT_TRUE(Dialog().IsForwarding());
    TypeInto(Control<QLineEdit>(IDC_EXTERNAL_IP), "");
    QTest::keyClick(Control(IDC_EXTERNAL_IP), Qt::Key_Backspace);
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "&Start");
    EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), "127.0.0.");

    TypeInto(Control<QLineEdit>(IDC_EXTERNAL_IP), "1");
    START_FORWARDING_OR_SKIP();
    MessageRecorder messages;
    StderrToFile log(m_dir.File("stderr"));
    ASSERT_EQ(::kill(Dialog().ForwardLink().GetHelperPid(), SIGKILL), 0);
    ProcessUntil([&] { return !Dialog().IsForwarding(); }); // the window's timer notices
    EXPECT_EQ(ButtonText(IDC_START), "&Start");
    EXPECT_EQ(
        messages.Errors,
        Strings{"Forwarding stopped: the forwarding helper ended (killed by signal 9, Killed)."});
    EXPECT_NE(
        log.Text().find("\nKIVORA: forwarded 0 broadcasts as 0 copies to 1 users, 0 failed\n"),
        std::string::npos)
        << log.Text();
}

// Faults: counts that do not match what real receivers got, an unchecked row counted, a
// failing player hiding the others' counts or its reason; a summary that is not exact or
// comes before the settings are written; a second copy on the same file running on.
TEST_F(StartButton, ShowsWhatReachedEachPlayerAndClosingLogsOneExactSummary)
{
    // The player (10.77.0.1) forwards to Al and Bo in a remote namespace, not to the
    // unchecked Cy; Dee's network has no route, so every send to Dee fails.
    if (const std::string why = NetNsUnavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    NetNs player("gplayer"), remote("gremote");
    ASSERT_TRUE(AddVethPair(player, "eth0", remote, "eth0") &&
                remote.Ip("addr add 10.77.0.2/24 dev eth0") &&
                remote.Ip("addr add 10.77.0.3/24 dev eth0") &&
                remote.Ip("addr add 10.77.0.4/24 dev eth0") &&
                player.Ip("addr add 10.77.0.1/24 dev eth0") &&
                player.Ip("route add default dev eth0") &&
                player.Ip("route add unreachable 10.99.0.0/24"));
    ScopedFd receiver(UdpSocketIn(remote, "0.0.0.0", 27015));
    ScopedFd game(UdpSocketIn(player, "0.0.0.0", 40000, true));
    ASSERT_GE(receiver.Get(), 0);

    NetNsScope inPlayer(player); // the window and its helper live in the player
    WriteConfig("AutoName=Ann\nAutoHost=\nExternalIP=10.77.0.1\n"
                "10.77.0.2\tAl\n10.77.0.3\tBo\n;10.77.0.4\tCy\n10.99.0.9\tDee\n");
    CSingleInstance first(ConfigPath().c_str()); // as the program does before its window
    ASSERT_TRUE(first.Claim());
    Open();
    first.SetWindow(&Dialog());
    auto log = std::make_unique<StderrToFile>(m_dir.File("stderr"));
    MessageRecorder messages;
    Dialog().OnStart();
    ASSERT_TRUE(Dialog().IsForwarding()) << (messages.Errors.empty() ? "" : messages.Errors[0]);
    // A second start on the same file while this one forwards ends without forwarding too or
    // touching the file. With this copy's runtime folder it brings this window to the front;
    // with another (another login's) only the lock tells, and it says so until closed.
    const std::string second = m_dir.File("kivora"), said = m_dir.File("said");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    std::filesystem::copy_file(std::string(KIVORA_FORWARD_HELPER)
                                   .substr(0, std::strlen(KIVORA_FORWARD_HELPER) - 8), // "-forward"
                               second); // beside the same KIVORA.cfg
    auto quiet = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {
    }); // this stderr is checked below: no "cannot raise" of the offscreen platform in it
    for (const std::string& text :
         {"with the settings file " + ConfigPath() + "; its window was brought to the front.\n",
          "and uses the settings file " + ConfigPath() + ".\n"}) {
        if (text.starts_with("and"))
            qputenv("XDG_RUNTIME_DIR", m_dir.Path().c_str()); // this copy read it at its start
        posix_spawn_file_actions_t output;
        posix_spawn_file_actions_init(&output);
        posix_spawn_file_actions_addopen(&output, 2, said.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        char* argv[] = {const_cast<char*>(second.c_str()), nullptr};
        pid_t pid = -1;
        int status = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &output, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&output);
        EXPECT_TRUE(ProcessUntil([&] {
                        if (ReadWholeFile(said).find(text) != std::string::npos)
                            ::kill(pid, SIGTERM); // closes the message
                        return waitpid(pid, &status, WNOHANG) == pid;
                    }) ||
                    (::kill(pid, SIGKILL) == 0 && waitpid(pid, &status, 0) < 0))
            << "a second copy runs: " << text;
        EXPECT_EQ(status, 0) << ReadWholeFile(said);
    }
    qInstallMessageHandler(quiet);
    runtime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", runtime);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(SendDatagram(game.Get(), "255.255.255.255", 27015, "announce"));
    std::map<std::string, int> reached; // the broadcasts themselves arrive too: not counted
    for (ReceivedDatagram copy;
         reached["10.77.0.2"] + reached["10.77.0.3"] < 6 && ReceiveDatagram(receiver.Get(), copy);)
        ++reached[copy.destination];
    auto status = [&] {
        return Control<QLabel>(IDC_FORWARD_STATUS)->text().replace(QChar::Nbsp, ' ').toStdString();
    };
    // The window's timer reads the helper's counters.
    ProcessUntil([&] { return status().find(" 3 failed") != std::string::npos; });
    EXPECT_EQ(status().substr(0, 51), "Forwarding: 3 broadcasts captured, 6 copies sent, l");
    EXPECT_EQ(status().substr(status().find(';')), "; 3 failed: No route to host");
    EXPECT_EQ(Cell(0, 2) + "|" + Cell(1, 2) + "|" + Cell(2, 2) + "|" + Cell(3, 2),
              std::to_string(reached["10.77.0.2"]) + "|" + std::to_string(reached["10.77.0.3"]) +
                  "||0 (3 failed)");
    EXPECT_EQ(reached["10.77.0.2"] + reached["10.77.0.3"] + reached["10.77.0.4"], 6);
    EXPECT_EQ(Cell(3, 0, Qt::ToolTipRole), "Dee, 10.99.0.9\n0 sent, 3 failed: No route to host");
    WriteConfig("stale");
    Close();
    log.reset();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=Ann\nAutoHost=\nExternalIP=10.77.0.1\nForwardMore=0\n"
              "10.77.0.2\tAl\n10.77.0.3\tBo\n;10.77.0.4\tCy\n10.99.0.9\tDee\n");
    EXPECT_EQ(ReadWholeFile(m_dir.File("stderr")),
              "KIVORA: capturing broadcasts, forwarding to 3 users\n"
              "KIVORA: forwarded 3 broadcasts as 6 copies to 3 users, 3 failed\n"
              "KIVORA: 3 sends failed: No route to host\n");
}

using AutoConfigCommand = MainWindowTest;

TEST_F(AutoConfigCommand, StopsForwardingAndShowsWhatTheSessionChanged)
{
    WriteConfig("AutoName=Ann\nAutoHost=127.0.0.1\nExternalIP=127.0.0.1\n127.0.0.11\tAl\n");
    Open();
    START_FORWARDING_OR_SKIP();
    bool forwardingDuringSession = true;
    ModalScript session([&](QDialog&) {
        forwardingDuringSession = Dialog().IsForwarding();
        // What a received user list does: new players and this player's own address.
        CCSLock lock(g_usersLock);
        Dialog().Settings().AddOrUpdateUser("Host", "127.0.0.2");
        Dialog().Settings().AddOrUpdateUser("Ann", "127.0.0.3");
        return 0;
    });
    Dialog().OnAutoConfig();
    EXPECT_FALSE(forwardingDuringSession);
    EXPECT_EQ(ButtonText(IDC_START), "&Start");
    EXPECT_EQ(Rows(), "Host++ Al++");
    EXPECT_EQ(Text(IDC_EXTERNAL_IP), "127.0.0.3");
}

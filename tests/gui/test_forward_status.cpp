// What the main window shows of a forwarding run: the status line, the "Sent"
// column and the rows' tooltips, from the counters the run hands it.

#include "MainDlgHarness.h"

#include "app/Resource.h"

#include <QLabel>

#include <cerrno>
#include <ctime>
#include <future>
#include <thread>

namespace
{

const char* const FourUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\n127.0.0.11\tAl\n"
                              ";127.0.0.12\tBo\n127.0.0.13\tCy\n127.0.0.14\tDi\n";

int64_t SecondsAgo(double seconds)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000 - static_cast<int64_t>(seconds * 1000);
}

} // namespace

using ForwardStatus = MainWindowTest;

// Faults: counts shown for the wrong user (unchecked ones take no entry), a count
// for a user nothing went to, the age from another clock, the failure's reason lost,
// counts left standing after the run.
TEST_F(ForwardStatus, StatusLineSentCellsAndTooltipsFollowTheCounters)
{
    WriteConfig(FourUsers);
    Open();
    auto status = [&] {
        return Control<QLabel>(IDC_FORWARD_STATUS)->text().replace(QChar::Nbsp, ' ').toStdString();
    };
    EXPECT_EQ(status(), "Stopped.");
    struct Case {
        const char* what;
        CForwardStats stats;
        std::string status;
        Strings sent;
    } cases[] = {
        {"before any capture the age is left out",
         {.Users = {{}, {}, {}}},
         "Forwarding: 0 broadcasts captured, 0 copies sent",
         {"", "", "", ""}},
        {"one of each reads singular; the age is CLOCK_MONOTONIC's",
         {.Captured = 1,
          .Sent = 1,
          .LastCaptureMs = SecondsAgo(3.5),
          .Users = {{.Sent = 1}, {}, {}}},
         "Forwarding: 1 broadcast captured, 1 copy sent, last 3 s ago",
         {"1", "", "", ""}},
        {"failures: how many and strerror of the last",
         {.Captured = 12,
          .Sent = 34,
          .Failed = 2,
          .LastError = ENETUNREACH,
          .LastCaptureMs = SecondsAgo(0.2),
          .Users = {{.Sent = 24}, {.Sent = 10, .Failed = 2, .LastError = ENETUNREACH}, {}}},
         "Forwarding: 12 broadcasts captured, 34 copies sent, last 0 s ago; 2 failed: Network is "
         "unreachable",
         {"24", "", "10 (2 failed)", ""}},
    };
    for (const Case& c : cases) {
        Dialog().ShowForwardStats(&c.stats);
        EXPECT_EQ(status(), c.status) << c.what;
        EXPECT_EQ((Strings{Cell(0, 2), Cell(1, 2), Cell(2, 2), Cell(3, 2)}), c.sent) << c.what;
    }
    EXPECT_EQ(Cell(0, 0, Qt::ToolTipRole), "Al, 127.0.0.11");
    EXPECT_EQ(Cell(2, 1, Qt::ToolTipRole),
              "Cy, 127.0.0.13\n10 sent, 2 failed: Network is unreachable");
    EXPECT_EQ(Cell(2, 0) + Cell(2, 1), "Cy127.0.0.13"); // Name and IP stay as they were

    Dialog().ShowForwardStats(nullptr);
    EXPECT_EQ(status(), "Stopped.");
    EXPECT_EQ((Strings{Cell(0, 2), Cell(2, 2)}), (Strings{"", ""}));
    EXPECT_EQ(Cell(2, 0, Qt::ToolTipRole), "Cy, 127.0.0.13");
}

// Fault: the display callback reading a record without g_usersLock while an
// AutoConfig client's thread rewrites it. The thread holds the lock a while before it
// writes: a reader that waits sees the new name, one that does not sees the old.
TEST_F(ForwardStatus, DisplayCallbackWaitsForTheUsersLock)
{
    WriteConfig(FourUsers);
    Open();
    std::promise<void> locked;
    std::thread client([&] {
        CCSLock lock(g_usersLock);
        locked.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Dialog().Settings().Users.GetHead()->Name = "Zed";
    });
    bool held = locked.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    std::string name = Cell(0, 0);
    client.join();
    EXPECT_TRUE(held);
    EXPECT_EQ(name, "Zed");
}

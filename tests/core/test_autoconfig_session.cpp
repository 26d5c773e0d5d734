// AutoConfig sessions on loopback port 8087 with their poll threads, as the windows run
// them (a whole exchange: the window test), and the faults their threads must survive.
#include "AutoConfigTestKit.h"
#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfig.h"
#include "autoconfig/CAutoConfigServer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>

#include <ctime>
#include <memory>

using namespace actest;

// A signal that lands in the host's poll of its listening socket: the next poll with a
// zero time-out fails with EINTR when this is set.
static std::atomic<int> g_interruptNextPoll{0};
extern "C" int poll(pollfd* fds, nfds_t count, int timeout)
{
    if (timeout == 0 && g_interruptNextPoll.exchange(0)) {
        errno = EINTR;
        return -1;
    }
    timespec t{timeout / 1000, (timeout % 1000) * 1000000L};
    return static_cast<int>(syscall(SYS_ppoll, fds, count, timeout < 0 ? nullptr : &t, nullptr, 8));
}

namespace
{

struct Player {
    explicit Player(const char* name, const char* host = "127.0.0.1") : owner(name, host) {}
    CTestOwner owner;
    std::unique_ptr<CAutoConfig> session = std::make_unique<CAutoConfig>(&owner);
};

TEST(AutoConfigSession, FailuresSayWhy)
{
    Player client("Cy");
    ASSERT_LT(ConnectFrom("127.0.0.1", AutoConfigPort).fd, 0) << "something listens on 8087";
    EXPECT_EQ(client.session->ConnectToHost("127.0.0.1"), 0);

    // A host whose queue is full never answers: the connect must end as a failure.
    int port = AutoConfigPort;
    CFd full = Loopback("127.0.0.1", port, true, 0);
    ASSERT_GE(full.fd, 0);
    CFd queued = ConnectFrom("127.0.0.2", AutoConfigPort);
    client.session = std::make_unique<CAutoConfig>(&client.owner);
    EXPECT_EQ(client.session->ConnectToHost("127.0.0.1"), 0);
    EXPECT_EQ(client.session->GetState(), CThreadHelper::NotStarted);

    Player host("Hal", "");
    EXPECT_EQ(host.session->StartHost(), 0);
    EXPECT_EQ(client.owner.Log(), (Lines{"Error: Could not connect to host.: Connection refused",
                                         "Error: Could not connect to host.: timed out"}));
    EXPECT_EQ(host.owner.Log(), Lines{"Error in socket listen.: Address already in use"});
}

TEST(AutoConfigSession, ClientChangesTheUserListOnlyUnderItsLock)
{
    int port = AutoConfigPort;
    CFd listener = Loopback("127.0.0.1", port, true);
    ASSERT_GE(listener.fd, 0) << "port 8087 is taken";
    Player client("Cy");
    ASSERT_NE(client.session->ConnectToHost("127.0.0.1"), 0);
    CFd host = CFd(::accept(listener.fd, nullptr, nullptr));
    {
        CCSLock held(g_usersLock); // as the list view holds it while it draws a row
        ASSERT_TRUE(SendAll(host.fd, Frame(UserInfo(1, {{"10.0.0.3", "Al"}}))));
        EXPECT_FALSE(WaitUntil([&] { return client.owner.Settings.Users.GetCount() > 0; },
                               std::chrono::milliseconds(300)));
    }
    EXPECT_TRUE(WaitUntil([&] { return client.owner.Users() == Lines{"Al 10.0.0.3 1"}; }));
}

double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(AutoConfigSession, IdleHostNeitherSpinsNorEndsOnASignal)
{
    Player host("Hal", "");
    ASSERT_NE(host.session->StartHost(), 0) << "port 8087 is taken";
    // A poll thread that never pauses keeps a core busy while the window is open.
    const double before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(CpuSeconds() - before, 0.1);

    g_interruptNextPoll = 1;
    ASSERT_TRUE(WaitUntil([] { return g_interruptNextPoll == 0; }));
    CFd a = ConnectFrom("127.0.0.2", AutoConfigPort);
    ASSERT_TRUE(SendAll(a.fd, Frame(Join("Al"))));
    EXPECT_TRUE(host.owner.WaitFor("127.0.0.2 (Al) connected successfully."));
    EXPECT_EQ(host.owner.UpdateButtonCalls, 0);
}

TEST(AutoConfigSession, StopRightAfterStartIsNotLost)
{
    // The destruction waits for the thread; a lost stop would wait for ever.
    std::atomic<bool> done{false};
    std::thread starts([&] {
        for (int i = 0; i < 20; ++i) {
            Player host("Hal", "");
            if (host.session->StartHost())
                host.session.reset();
        }
        done = true;
    });
    if (!WaitUntil([&] { return done.load(); })) {
        ADD_FAILURE() << "a session's destruction never returned";
        std::_Exit(1);
    }
    starts.join();
}

} // namespace

// AutoConfig sessions on port 8087 with their poll threads, the host against plain
// sockets playing clients from distinct loopback addresses: the log, the User List,
// the bytes each client receives, and the faults the threads must survive. (A whole
// exchange between sessions: the window test.)
#include "AutoConfigTestKit.h"
#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfig.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>

#include <ctime>
#include <memory>

using namespace actest;

// A signal landing in the host's poll of its listening socket: while this is set, the
// next poll with a zero time-out fails with EINTR.
static std::atomic<int> g_interruptNextPoll{0}, g_polls{0};
extern "C" int poll(pollfd* fds, nfds_t count, int timeout)
{
    ++g_polls;
    if (timeout == 0 && g_interruptNextPoll.exchange(0)) {
        errno = EINTR;
        return -1;
    }
    timespec t{timeout / 1000, (timeout % 1000) * 1000000L};
    return static_cast<int>(syscall(SYS_ppoll, fds, count, timeout < 0 ? nullptr : &t, nullptr, 8));
}

namespace
{

class AutoConfigHost : public ::testing::Test
{
protected:
    void SetUp() override
    {
        owner.Settings.ExternalIP = "1.2.3.4";
        ASSERT_NE(session->StartHost(), 0) << "port 8087 is taken";
    }
    CAutoConfigServer& Server() { return *static_cast<CAutoConfigServer*>(session->Socket.get()); }
    int Connections()
    {
        CCSLock lock(session->SocketLock);
        return Server().Connections.GetCount();
    }
    // Connects from `ip`, sends `join` unless empty, and waits until the host has it.
    ScopedFd Client(const char* ip, const std::string& join = "")
    {
        const int before = Connections();
        ScopedFd fd = Loopback(ip, AutoConfigPort);
        EXPECT_TRUE(WaitUntil([&] { return Connections() > before; }));
        EXPECT_TRUE(join.empty() ||
                    (SendAll(fd.Get(), Frame(Wire(CMD_JOIN, join))) &&
                     owner.WaitFor(std::string(ip) + " (" + join + ") connected successfully.")));
        return fd;
    }

    CTestOwner owner{"Hal"};
    std::unique_ptr<CAutoConfig> session = std::make_unique<CAutoConfig>(&owner);
};

TEST_F(AutoConfigHost, SyncSendsEveryConnectionOldestFirstThenTheHost)
{
    ScopedFd a = Client("127.0.0.2", "Al");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Wire(CMD_JOIN, "Alfred")))); // a second join renames
    ASSERT_TRUE(owner.WaitFor("127.0.0.2 (Alfred) connected successfully."));
    ScopedFd b = Client("127.0.0.3");
    ScopedFd c = Client("127.0.0.4", "Hal"); // the host's own name: its external address
    std::thread sync;
    {
        CCSLock busy(session->SocketLock); // as the poll thread holds it around each Poll
        sync = std::thread([&] { session->Sync(); });
        EXPECT_FALSE(WaitUntil([&] { return owner.Has("Sent info for 4 users."); },
                               std::chrono::milliseconds(300)));
    }
    sync.join();
    EXPECT_TRUE(owner.Has("Sent info for 4 users."));
    for (int fd : {a.Get(), b.Get(), c.Get()})
        EXPECT_EQ(ReadFrame(fd), Wire(1, 4, "127.0.0.2", "Alfred", "127.0.0.3", "", "127.0.0.4",
                                      "Hal", "127.0.0.4", "Hal"));
    EXPECT_EQ(owner.Users(), (Lines{" 127.0.0.3 1", "Alfred 127.0.0.2 1"}));
    b.Reset();
    EXPECT_TRUE(owner.WaitFor("127.0.0.3 () disconnected."));
}

TEST_F(AutoConfigHost, FloodHugeNameAndOversizedMessageThenAnHonestClientStillSyncs)
{
    ScopedFd hostile = Client("127.0.0.2");
    ScopedFd honest = Client("127.0.0.3", "Hon");
    // 300k tiny messages (each an unknown command) behind a join with a 65,500-byte name.
    Bytes flood = Frame(Wire(CMD_JOIN, std::string(65500, 'h')));
    for (int i = 0; i < 300000; ++i)
        flood.insert(flood.end(), {0, 0, 0, 4, 0, 0, 0, 1}); // unknown command
    std::atomic<bool> sent{false};
    std::thread writer([&] { sent = SendAll(hostile.Get(), flood); });
    size_t mostBuffered = 0;
    const std::string joined =
        "127.0.0.2 (" + std::string(64, 'h') + "...) connected successfully.";
    WaitUntil(
        [&] {
            CCSLock lock(session->SocketLock);
            for (CUSocket* s : Server().Connections)
                mostBuffered =
                    std::max(mostBuffered, s->In.GetDataLength() + s->Out.GetDataLength());
            return sent && owner.Has(joined);
        },
        std::chrono::seconds(20));
    writer.join();
    ASSERT_TRUE(sent && owner.Has(joined));
    EXPECT_LE(mostBuffered, 4u + CUSocket::MaxMessageLength); // one message, however fast
    session->Sync();
    EXPECT_EQ(ReadFrame(honest.Get()),
              Wire(1, 3, "127.0.0.2", std::string(255, 'h'), "127.0.0.3", "Hon", "1.2.3.4", "Hal"))
        << "a receiver refused the list";
    // Once the whole flood is handled it has left a few lines, not one per message.
    ASSERT_TRUE(SendAll(hostile.Get(), Frame(Wire(CMD_JOIN, "End"))));
    ASSERT_TRUE(owner.WaitFor("127.0.0.2 (End) connected successfully."));
    EXPECT_LT(owner.Log().size(), 1000u);
    // A message longer than any receiver takes drops its sender, and only it.
    ASSERT_TRUE(SendAll(hostile.Get(), Wire(CUSocket::MaxMessageLength + 1)));
    EXPECT_TRUE(owner.WaitFor("127.0.0.2 (End) disconnected."));
    session->Sync();
    EXPECT_EQ(ReadFrame(honest.Get()), Wire(1, 2, "127.0.0.3", "Hon", "1.2.3.4", "Hal"));
}

// Faults: a poll thread that wakes with nothing to do (a 50 ms sleep between polls woke it 20
// times a second while the window was merely open), or one that a signal ends.
TEST_F(AutoConfigHost, IdleHostSleepsAndASignalEndsNothing)
{
    ScopedFd a = Client("127.0.0.2", "Al");
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // into its wait
    const int polls = g_polls;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(g_polls - polls, 0) << "the idle poll thread woke up";
    g_interruptNextPoll = 1;
    ScopedFd b = Client("127.0.0.3", "Bo"); // wakes it; still served
    EXPECT_EQ(g_interruptNextPoll, 0);
    EXPECT_EQ(owner.UpdateButtonCalls, 0);
    // Players who press AutoConfig at one moment all get in while the host is busy: none
    // waits for its connection request to be sent again (a second or more, then a failure).
    std::vector<ScopedFd> many;
    {
        CCSLock busy(session->SocketLock); // nothing is accepted meanwhile
        for (const char* ip : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"})
            EXPECT_GE(many.emplace_back(Loopback(ip, AutoConfigPort)).Get(), 0) << ip;
    }
    EXPECT_TRUE(WaitUntil([&] { return Connections() == 7; }));
}

// Sync builds one list for every client: whatever the host's fields hold it never exceeds
// what a receiver takes (each would drop the connection). Host Hal; every connection at
// 10.0.0.1, with a name of the given length. Faults: the cap forgetting the command and the
// count, the cap underflowing on a long ExternalIP.
TEST(AutoConfigSync, LeavesOutWhatWouldMakeTheListTooLong)
{
    std::vector<size_t> over(241, 255);
    over.push_back(183); // ends the list 8 bytes past the limit, the command and the count
    const std::string leftOut = "WARNING: 10.0.0.1 (" + std::string(64, 'n') +
                                "...) left out of the user list: it would exceed 65536 bytes.";
    const struct {
        const char* what;
        std::string externalIP;
        std::vector<size_t> names;
        int listed; // the host too
    } cases[] = {
        {"300 names of 255 bytes: more than one message holds", "1.2.3.4",
         std::vector<size_t>(300, 255), 242},
        {"the command and the count take room too", "100.100.100.100", over, 242},
        {"an ExternalIP longer than a message", std::string(66560, '1'), {255, 255}, 3},
    };
    for (const auto& c : cases) {
        CTestOwner owner("Hal");
        owner.Settings.ExternalIP = c.externalIP.c_str();
        CAutoConfigServer server(&owner);
        for (size_t length : c.names) {
            auto peer = std::make_unique<CPeerSocket>();
            peer->IP = "10.0.0.1";
            peer->Name = CUString(std::string(length, 'n'));
            server.Connections.AddTail(peer.release());
        }
        CUBuffer body;
        EXPECT_EQ(server.BuildUserInfo(body), c.listed) << c.what;
        EXPECT_LE(body.GetDataLength(), static_cast<size_t>(CUSocket::MaxMessageLength)) << c.what;
        EXPECT_EQ(Bytes(body.GetData(), body.GetData() + 8), Wire(1, c.listed)) << c.what;
        EXPECT_EQ(owner.Log(), Lines(c.names.size() + 1 - c.listed, leftOut)) << c.what;
    }
    // A second Sync before the first has left replaces it: together they would be framed
    // as one message too long for any receiver.
    CPeerSocket client;
    const CUBuffer body = CUBuffer() << 1 << 0;
    CAutoConfigServer::QueueUserInfo(&client, body);
    CAutoConfigServer::QueueUserInfo(&client, body);
    EXPECT_EQ(client.Out.GetDataLength(), body.GetDataLength());
}

TEST(AutoConfigSession, ConnectTimeOutIsAFailure)
{
    // A host whose queue is full never answers.
    ScopedFd full = Loopback("127.0.0.1", AutoConfigPort, true, 0);
    ASSERT_GE(full.Get(), 0) << "port 8087 is taken";
    ScopedFd queued = Loopback("127.0.0.2", AutoConfigPort);
    CTestOwner owner("Cy", "127.0.0.1");
    CAutoConfig session(&owner);
    EXPECT_EQ(session.ConnectToHost("127.0.0.1"), 0);
    EXPECT_EQ(session.GetState(), CThreadHelper::NotStarted);
    EXPECT_EQ(owner.Log(), Lines{"Error: Could not connect to host.: timed out"});
}

TEST(AutoConfigSession, StopRightAfterStartIsNotLost)
{
    // Destroying the session waits for its thread: a lost stop would wait for ever, so
    // the process ends (SIGALRM) if this takes more than 10 s.
    alarm(10);
    for (int i = 0; i < 20; ++i) {
        CTestOwner owner("Hal");
        CAutoConfig(&owner).StartHost();
    }
    alarm(0);
}

} // namespace

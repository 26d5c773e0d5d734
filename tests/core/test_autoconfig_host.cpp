// The AutoConfig host (port 8087) against plain sockets playing clients from distinct
// loopback addresses: its log, its User List and the exact bytes each client receives.
#include "AutoConfigTestKit.h"
#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfig.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"

#include <gtest/gtest.h>

#include <memory>

using namespace actest;

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
    CFd Client(const char* ip, const std::string& join = "")
    {
        const int before = Connections();
        CFd fd = ConnectFrom(ip, AutoConfigPort);
        EXPECT_TRUE(WaitUntil([&] { return Connections() > before; }));
        EXPECT_TRUE(join.empty() ||
                    (SendAll(fd.fd, Frame(Join(join))) &&
                     owner.WaitFor(std::string(ip) + " (" + join + ") connected successfully.")));
        return fd;
    }

    CTestOwner owner{"Hal"};
    std::unique_ptr<CAutoConfig> session = std::make_unique<CAutoConfig>(&owner);
};

TEST_F(AutoConfigHost, SyncSendsEveryConnectionOldestFirstThenTheHost)
{
    session->Sync(); // no clients: nothing to write
    EXPECT_TRUE(owner.Has("Sent info for 1 users."));
    CFd a = Client("127.0.0.2", "Al");
    ASSERT_TRUE(SendAll(a.fd, Frame(Join("Alfred")))); // a second join renames
    ASSERT_TRUE(owner.WaitFor("127.0.0.2 (Alfred) connected successfully."));
    CFd b = Client("127.0.0.3");
    CFd c = Client("127.0.0.4", "Hal"); // the host's own name: its external address
    session->Sync();
    EXPECT_TRUE(owner.Has("Sent info for 4 users."));
    for (int fd : {a.fd, b.fd, c.fd})
        EXPECT_EQ(ReadFrame(fd),
                  Concat({Ints({1, 4}), Str("127.0.0.2"), Str("Alfred"), Str("127.0.0.3"), Str(""),
                          Str("127.0.0.4"), Str("Hal"), Str("127.0.0.4"), Str("Hal")}));
    EXPECT_EQ(owner.Users(), (Lines{" 127.0.0.3 1", "Alfred 127.0.0.2 1"}));
    b.Reset();
    EXPECT_TRUE(owner.WaitFor("127.0.0.3 () disconnected."));
}

TEST_F(AutoConfigHost, FloodAndHugeNameThenAnHonestClientStillSyncs)
{
    CFd hostile = Client("127.0.0.2");
    CFd honest = Client("127.0.0.3", "Hon");
    // 300k tiny messages (each an unknown command) behind a join with a 65,500-byte name.
    Bytes flood = Frame(Join(std::string(65500, 'h')));
    for (int i = 0; i < 300000; ++i)
        flood.insert(flood.end(), {0, 0, 0, 4, 0, 0, 0, 1});
    std::atomic<bool> sent{false};
    std::thread writer([&] { sent = SendAll(hostile.fd, flood); });
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
    auto body = ReadFrame(honest.fd);
    ASSERT_TRUE(body) << "a receiver refused the list";
    EXPECT_EQ(*body, Concat({Ints({1, 3}), Str("127.0.0.2"), Str(std::string(255, 'h')),
                             Str("127.0.0.3"), Str("Hon"), Str("1.2.3.4"), Str("Hal")}));
    // Once the whole flood is handled it has left a few lines, not one per message.
    ASSERT_TRUE(SendAll(hostile.fd, Frame(Join("End"))));
    ASSERT_TRUE(owner.WaitFor("127.0.0.2 (End) connected successfully."));
    EXPECT_LT(owner.Log().size(), 1000u);
}

TEST_F(AutoConfigHost, OversizedMessageDropsOnlyThatClient)
{
    CFd a = Client("127.0.0.2", "Al");
    CFd b = Client("127.0.0.3", "Bo");
    ASSERT_TRUE(SendAll(b.fd, Ints({CUSocket::MaxMessageLength + 1})));
    EXPECT_TRUE(owner.WaitFor("127.0.0.3 (Bo) disconnected."));
    EXPECT_TRUE(owner.Has("WARNING: Message longer than 65536 bytes received; connection closed."));
    EXPECT_TRUE(WaitForClose(b.fd));
    session->Sync();
    EXPECT_EQ(ReadFrame(a.fd),
              Concat({Ints({1, 2}), Str("127.0.0.2"), Str("Al"), Str("1.2.3.4"), Str("Hal")}));
}

TEST_F(AutoConfigHost, DestroyingTheHostClosesEveryConnectionAndThePort)
{
    CFd a = Client("127.0.0.2");
    session.reset();
    EXPECT_TRUE(WaitForClose(a.fd));
    EXPECT_FALSE(owner.Has("Connection closed by host.")); // a client's line only
    EXPECT_LT(ConnectFrom("127.0.0.2", AutoConfigPort).fd, 0);
}

TEST(AutoConfigSync, LeavesOutWhatWouldMakeTheListTooLong)
{
    CTestOwner owner("Hal");
    owner.Settings.ExternalIP = "1.2.3.4";
    CAutoConfigServer server(&owner);
    for (int i = 0; i < 300; ++i) { // 300 names of 255 bytes: more than one message holds
        auto peer = std::make_unique<CPeerSocket>();
        peer->IP.Format("10.0.%d.%d", i / 250, i % 250);
        peer->Name = CUString(std::string(255, 'a' + i % 26));
        server.Connections.AddTail(peer.release());
    }
    CUBuffer body;
    const int listed = server.BuildUserInfo(body);
    EXPECT_LE(body.GetDataLength(), static_cast<size_t>(CUSocket::MaxMessageLength));
    EXPECT_GT(listed, 200);
    int32_t command = 0, count = 0;
    body >> command >> count;
    EXPECT_EQ(count, listed);
    EXPECT_EQ(owner.Log().size(), static_cast<size_t>(301 - listed)); // one line each
    EXPECT_EQ(owner.Log().back(),
              "WARNING: 10.0.1.49 (" + std::string(64, 'n') +
                  "...) left out of the user list: it would exceed 65536 bytes.");
    // A second Sync before the first has left replaces it: together they would be
    // framed as one message too long for any receiver.
    auto* first = static_cast<CPeerSocket*>(server.Connections.GetHead());
    CAutoConfigServer::QueueUserInfo(first, body);
    CAutoConfigServer::QueueUserInfo(first, body);
    EXPECT_EQ(first->Out.GetDataLength(), body.GetDataLength());
}

} // namespace

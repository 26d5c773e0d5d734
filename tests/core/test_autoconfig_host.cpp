// The host's side of AutoConfig against plain sockets playing the clients: what it
// logs, what it enters in its own User List and the exact bytes each client receives.
// The host listens on the AutoConfig port, 8087; the clients connect from distinct
// loopback addresses so that the host sees them as distinct players.

#include "AutoConfigTestKit.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfig.h"
#include "autoconfig/CAutoConfigServer.h"

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
        session = std::make_unique<CAutoConfig>(&owner);
        ASSERT_NE(session->StartHost(), 0) << "port 8087 is taken";
    }

    // Connects from `ip` and waits until the host has accepted the connection.
    CFd Client(const char* ip)
    {
        int before = Connections();
        CFd fd = ConnectFrom(ip, AUTOCONFIG_PORT);
        EXPECT_GE(fd.Get(), 0);
        EXPECT_TRUE(WaitUntil([&] { return Connections() > before; }));
        return fd;
    }
    int Connections()
    {
        CCSLock lock(session->SocketLock);
        return static_cast<CAutoConfigServer*>(session->Socket)->Connections.GetCount();
    }

    CTestOwner owner{"Hal"};
    std::unique_ptr<CAutoConfig> session;
};

TEST_F(AutoConfigHost, SyncSendsEveryConnectionOldestFirstThenTheHost)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Al) connected successfully."));
    CFd b = Client("127.0.0.3"); // never joins

    session->Sync();
    EXPECT_TRUE(owner.Log.Has("Sent info for 3 users."));

    Bytes expected;
    PutInt(expected, 1);
    PutInt(expected, 3);
    for (const char* s : {"127.0.0.2", "Al", "127.0.0.3", "", "1.2.3.4", "Hal"})
        PutString(expected, s);
    for (int fd : {a.Get(), b.Get()}) {
        auto body = ReadFrame(fd);
        ASSERT_TRUE(body);
        EXPECT_EQ(*body, expected);
    }
    // Every connection entered once per client; repeats change nothing.
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{" 127.0.0.3 1", "Al 127.0.0.2 1"}));
}

TEST_F(AutoConfigHost, SyncWithoutClientsWritesNothing)
{
    session->Sync();
    EXPECT_EQ(owner.Log.Lines(), (std::vector<std::string>{"Host started; waiting for clients.",
                                                           "Sent info for 1 users."}));
    EXPECT_TRUE(owner.Users().empty());
}

TEST_F(AutoConfigHost, ClientWithTheHostsNameSetsTheHostsExternalAddress)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Hal"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Hal) connected successfully."));
    session->Sync();
    auto body = ReadFrame(a.Get());
    ASSERT_TRUE(body);
    EXPECT_TRUE(owner.Users().empty());
    EXPECT_EQ(owner.ExternalIP(), "127.0.0.2");
}

TEST_F(AutoConfigHost, SecondJoinReplacesTheName)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Concat({Join("Al"), Join("Alfred")}))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Alfred) connected successfully."));
    EXPECT_TRUE(owner.Log.Has("127.0.0.2 (Al) connected successfully."));
    a.Reset();
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.2 (Alfred) disconnected."));
    // Joins alone never touch the User List.
    EXPECT_TRUE(owner.Users().empty());
}

TEST_F(AutoConfigHost, ClientLeavingBeforeJoiningIsLoggedWithAnEmptyName)
{
    CFd b = Client("127.0.0.3");
    b.Reset();
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.3 () disconnected."));
    EXPECT_TRUE(WaitUntil([&] { return Connections() == 0; }));
}

TEST_F(AutoConfigHost, UnknownCommandIsLoggedAndTheConnectionStays)
{
    CFd a = Client("127.0.0.2");
    Bytes body = UserInfo(0, {});
    ASSERT_TRUE(SendAll(a.Get(), Frame(body)));
    ASSERT_TRUE(owner.Log.WaitFor("WARNING: Unknown Command (1) received: 8 bytes."));
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.2 (Al) connected successfully."));
    EXPECT_EQ(Connections(), 1);
}

TEST_F(AutoConfigHost, TruncatedJoinKeepsTheOldName)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Al) connected successfully."));
    Bytes bad;
    PutInt(bad, CMD_JOIN);
    PutInt(bad, 0x7fffffff); // a name longer than anything that follows
    bad.push_back('x');
    ASSERT_TRUE(SendAll(a.Get(), Frame(bad)));
    ASSERT_TRUE(owner.Log.WaitFor("WARNING: Malformed message received: 9 bytes."));
    a.Reset();
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.2 (Al) disconnected."));
}

TEST_F(AutoConfigHost, OversizedMessageDropsOnlyThatClient)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    CFd b = Client("127.0.0.3");
    ASSERT_TRUE(SendAll(b.Get(), Frame(Join("Bo"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.3 (Bo) connected successfully."));

    Bytes header;
    PutInt(header, CUSocket::MaxMessageLength + 1);
    ASSERT_TRUE(SendAll(b.Get(), header));
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.3 (Bo) disconnected."));
    EXPECT_TRUE(
        owner.Log.Has("WARNING: Message longer than 65536 bytes received; connection closed."));
    EXPECT_TRUE(WaitForClose(b.Get()));

    session->Sync();
    auto body = ReadFrame(a.Get());
    ASSERT_TRUE(body);
    Bytes expected;
    PutInt(expected, 1);
    PutInt(expected, 2);
    for (const char* s : {"127.0.0.2", "Al", "1.2.3.4", "Hal"})
        PutString(expected, s);
    EXPECT_EQ(*body, expected);
}

TEST_F(AutoConfigHost, DestroyingTheHostClosesEveryConnection)
{
    CFd a = Client("127.0.0.2");
    CFd b = Client("127.0.0.3");
    session.reset();
    EXPECT_TRUE(WaitForClose(a.Get()));
    EXPECT_TRUE(WaitForClose(b.Get()));
    // The host's thread ends without the client's closing line.
    EXPECT_FALSE(owner.Log.Has("Connection closed by host."));
    EXPECT_FALSE(SomeoneListens(AUTOCONFIG_PORT));
}

} // namespace

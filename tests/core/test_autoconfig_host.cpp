// The AutoConfig host (port 8087) against plain sockets playing clients from distinct
// loopback addresses: its log, its User List and the exact bytes each client receives.

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
        CFd fd = ConnectFrom(ip, AutoConfigPort);
        EXPECT_GE(fd.Get(), 0);
        EXPECT_TRUE(WaitUntil([&] { return Connections() > before; }));
        return fd;
    }
    int Connections()
    {
        CCSLock lock(session->SocketLock);
        return static_cast<CAutoConfigServer*>(session->Socket.get())->Connections.GetCount();
    }

    CTestOwner owner{"Hal"};
    std::unique_ptr<CAutoConfig> session;
};

// The CMD_USER_INFO body the host sends for these (ip, name) records.
Bytes Expected(std::initializer_list<const char*> fields)
{
    Bytes b = Ints({1, static_cast<int32_t>(fields.size() / 2)});
    for (const char* s : fields)
        PutString(b, s);
    return b;
}

TEST_F(AutoConfigHost, SyncSendsEveryConnectionOldestFirstThenTheHost)
{
    session->Sync(); // no clients: nothing to write
    EXPECT_EQ(owner.Log.Lines(),
              (Lines{"Host started; waiting for clients.", "Sent info for 1 users."}));
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Al) connected successfully."));
    CFd b = Client("127.0.0.3"); // never joins

    session->Sync();
    EXPECT_TRUE(owner.Log.Has("Sent info for 3 users."));
    for (int fd : {a.Get(), b.Get()}) {
        auto body = ReadFrame(fd);
        ASSERT_TRUE(body);
        EXPECT_EQ(*body, Expected({"127.0.0.2", "Al", "127.0.0.3", "", "1.2.3.4", "Hal"}));
    }
    EXPECT_EQ(owner.Users(), (Lines{" 127.0.0.3 1", "Al 127.0.0.2 1"}));

    b.Reset();
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.3 () disconnected."));
    EXPECT_TRUE(WaitUntil([&] { return Connections() == 1; }));
}

TEST_F(AutoConfigHost, JoinsNameClientsAndTheHostsOwnNameSetsItsAddress)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Concat({Join("Al"), Join("Alfred")}))));
    CFd b = Client("127.0.0.3");
    ASSERT_TRUE(SendAll(b.Get(), Frame(Join("Hal"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.3 (Hal) connected successfully."));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Alfred) connected successfully."));
    EXPECT_TRUE(owner.Log.Has("127.0.0.2 (Al) connected successfully."));
    EXPECT_TRUE(owner.Users().empty()); // joins alone never touch the User List

    session->Sync();
    ASSERT_TRUE(ReadFrame(b.Get()));
    EXPECT_EQ(owner.Users(), (Lines{"Alfred 127.0.0.2 1"}));
    EXPECT_EQ(owner.ExternalIP(), "127.0.0.3");
    a.Reset();
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.2 (Alfred) disconnected."));
}

TEST_F(AutoConfigHost, UnknownCommandOrTruncatedJoinKeepsConnectionAndName)
{
    CFd a = Client("127.0.0.2");
    ASSERT_TRUE(SendAll(a.Get(), Frame(Join("Al"))));
    ASSERT_TRUE(owner.Log.WaitFor("127.0.0.2 (Al) connected successfully."));
    ASSERT_TRUE(SendAll(a.Get(), Frame(UserInfo(0, {}))));
    ASSERT_TRUE(owner.Log.WaitFor("WARNING: Unknown Command (1) received: 8 bytes."));
    // A name longer than anything that follows.
    Bytes bad = Concat({Ints({CMD_JOIN, 0x7fffffff}), {'x'}});
    ASSERT_TRUE(SendAll(a.Get(), Frame(bad)));
    ASSERT_TRUE(owner.Log.WaitFor("WARNING: Malformed message received: 9 bytes."));
    EXPECT_EQ(Connections(), 1);
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

    ASSERT_TRUE(SendAll(b.Get(), Ints({CUSocket::MaxMessageLength + 1})));
    EXPECT_TRUE(owner.Log.WaitFor("127.0.0.3 (Bo) disconnected."));
    EXPECT_TRUE(
        owner.Log.Has("WARNING: Message longer than 65536 bytes received; connection closed."));
    EXPECT_TRUE(WaitForClose(b.Get()));

    session->Sync();
    auto body = ReadFrame(a.Get());
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, Expected({"127.0.0.2", "Al", "1.2.3.4", "Hal"}));
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
    EXPECT_FALSE(SomeoneListens(AutoConfigPort));
}

} // namespace

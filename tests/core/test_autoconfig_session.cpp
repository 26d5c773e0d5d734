// AutoConfig sessions end to end on loopback: a host and clients, each with its own
// poll thread and settings, as the windows run them. (A taken port: see the window test.)

#include "AutoConfigTestKit.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfig.h"
#include "autoconfig/CAutoConfigServer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace actest;

namespace
{

struct Player {
    explicit Player(const char* name, const char* host = "127.0.0.1")
        : owner(name, host), session(std::make_unique<CAutoConfig>(&owner))
    {
    }
    CTestOwner owner;
    std::unique_ptr<CAutoConfig> session;
};

int Connections(CAutoConfig& host)
{
    CCSLock lock(host.SocketLock);
    return static_cast<CAutoConfigServer*>(host.Socket.get())->Connections.GetCount();
}

TEST(AutoConfigSession, HostAndThreeClientsFillEachOthersLists)
{
    Player host("Hal", "");
    host.owner.Settings.ExternalIP = "10.9.8.7";
    ASSERT_NE(host.session->StartHost(), 0) << "port 8087 is taken";
    EXPECT_EQ(host.owner.Log.Lines(), (Lines{"Host started; waiting for clients."}));

    std::vector<std::unique_ptr<Player>> clients;
    for (const char* name : {"Cy1", "Cy2", "Cy3"}) {
        clients.push_back(std::make_unique<Player>(name));
        Player& c = *clients.back();
        c.owner.Settings.AddOrUpdateUser("Stale", "10.0.0.50");
        ASSERT_NE(c.session->ConnectToHost("127.0.0.1"), 0);
        EXPECT_TRUE(c.owner.Log.Has("Connected to host; waiting for sync."));
        // One at a time, so that the host's connection order is known.
        ASSERT_TRUE(host.owner.Log.WaitFor(std::string("127.0.0.1 (") + name +
                                           ") connected successfully."));
    }
    // A fourth connection, from another address, that never sends its join.
    CFd silent = ConnectFrom("127.0.0.5", AutoConfigPort);
    ASSERT_TRUE(WaitUntil([&] { return Connections(*host.session) == 4; }));

    host.session->Sync();
    EXPECT_TRUE(host.owner.Log.Has("Sent info for 5 users."));
    for (auto& c : clients) {
        ASSERT_TRUE(c->owner.Log.WaitFor("10.9.8.7 (Hal)"));
        EXPECT_EQ(c->owner.Log.Lines(),
                  (Lines{"Connected to host; waiting for sync.", "Received info for 5 users...",
                         "127.0.0.1 (Cy1)", "127.0.0.1 (Cy2)", "127.0.0.1 (Cy3)", "127.0.0.5 ()",
                         "10.9.8.7 (Hal)"}));
        // Its own entry tells it how the host sees it.
        EXPECT_EQ(c->owner.ExternalIP(), "127.0.0.1");
        // The others share 127.0.0.1, so they meet in one record (matched by IP) named
        // by the last of them; the old user stays, unchecked.
        const std::string last = c->owner.Settings.AutoName == "Cy3" ? "Cy2" : "Cy3";
        EXPECT_EQ(c->owner.Users(), (Lines{"Hal 10.9.8.7 1", " 127.0.0.5 1", last + " 127.0.0.1 1",
                                           "Stale 10.0.0.50 0"}));
    }
    EXPECT_EQ(host.owner.Users(), (Lines{" 127.0.0.5 1", "Cy3 127.0.0.1 1"}));

    // A client that leaves is logged by the host; the others stay.
    clients[1].reset();
    EXPECT_TRUE(host.owner.Log.WaitFor("127.0.0.1 (Cy2) disconnected."));
    host.session->Sync();
    EXPECT_TRUE(host.owner.Log.Has("Sent info for 4 users."));
    EXPECT_TRUE(clients[0]->owner.Log.WaitFor("Received info for 4 users..."));
}

TEST(AutoConfigSession, FailedConnectLogsAndStartsNoThread)
{
    if (SomeoneListens(AutoConfigPort))
        GTEST_SKIP() << "something listens on port 8087";
    Player client("Cy1");
    EXPECT_EQ(client.session->ConnectToHost("127.0.0.1"), 0);
    EXPECT_EQ(client.owner.Log.Lines(), (Lines{"Error: Could not connect to host."}));
    EXPECT_EQ(client.session->GetState(), CThreadHelper::NotStarted);
    client.session.reset();
    EXPECT_EQ(client.owner.UpdateButtonCalls, 0);
}

TEST(AutoConfigSession, HostClosingEndsEveryClient)
{
    Player host("Hal", "");
    ASSERT_NE(host.session->StartHost(), 0) << "port 8087 is taken";
    Player a("Cy1"), b("Cy2");
    ASSERT_NE(a.session->ConnectToHost("127.0.0.1"), 0);
    ASSERT_NE(b.session->ConnectToHost("127.0.0.1"), 0);
    ASSERT_TRUE(host.owner.Log.WaitFor("127.0.0.1 (Cy2) connected successfully."));

    host.session.reset();
    for (Player* p : {&a, &b}) {
        EXPECT_TRUE(p->owner.Log.WaitFor("Connection closed by host."));
        EXPECT_TRUE(WaitUntil([&] { return p->owner.UpdateButtonCalls == 1; }));
        EXPECT_EQ(p->session->GetState(), CThreadHelper::StopState);
    }
}

// The poll thread's last act is UpdateButton: the socket must still be open then.
void WatchSocketAtThreadEnd(Player& p, std::atomic<int>& socketOpen)
{
    CAutoConfig* session = p.session.get(); // the unique_ptr is already empty meanwhile
    p.owner.OnUpdateButton = [session, &socketOpen] {
        socketOpen = session->Socket && session->Socket->IsOpen() ? 1 : 0;
    };
}

TEST(AutoConfigSession, DestroyingTheSessionStopsItsThreadBeforeTheSocketGoes)
{
    Player host("Hal", "");
    ASSERT_NE(host.session->StartHost(), 0) << "port 8087 is taken";
    Player client("Cy1");
    ASSERT_NE(client.session->ConnectToHost("127.0.0.1"), 0);
    ASSERT_TRUE(host.owner.Log.WaitFor("127.0.0.1 (Cy1) connected successfully."));

    std::atomic<int> clientSocketOpen{-1}, hostSocketOpen{-1};
    WatchSocketAtThreadEnd(client, clientSocketOpen);
    WatchSocketAtThreadEnd(host, hostSocketOpen);

    client.session.reset();
    EXPECT_EQ(client.owner.UpdateButtonCalls, 1);
    EXPECT_EQ(clientSocketOpen, 1);
    // A client's thread ends with the closing line even when it was asked to stop.
    EXPECT_TRUE(client.owner.Log.Has("Connection closed by host."));
    EXPECT_TRUE(host.owner.Log.WaitFor("127.0.0.1 (Cy1) disconnected."));

    host.session.reset();
    EXPECT_EQ(host.owner.UpdateButtonCalls, 1);
    EXPECT_EQ(hostSocketOpen, 1);
}

TEST(AutoConfigSession, StopRightAfterStartIsNotLost)
{
    for (int i = 0; i < 20; ++i) {
        Player host("Hal", "");
        ASSERT_NE(host.session->StartHost(), 0) << "port 8087 is taken";
        host.session.reset(); // must return: the thread sees the stop however early
        EXPECT_EQ(host.owner.UpdateButtonCalls, 1);
    }
}

} // namespace

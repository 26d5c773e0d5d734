// The client's side of AutoConfig, byte by byte: what a CPeerSocket puts on the wire,
// and what it does with every kind of message a host (or anyone else) may send it.

#include "AutoConfigTestKit.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CPeerSocket.h"

#include <gtest/gtest.h>

using namespace actest;

namespace
{

// Puts raw stream bytes where Poll would have put them.
void Feed(CUSocket& s, const Bytes& bytes)
{
    s.In.Append(bytes.data(), bytes.size());
}

class AutoConfigClientInput : public ::testing::Test
{
protected:
    AutoConfigClientInput() : owner("Bob"), peer(&owner) {}

    CTestOwner owner;
    CPeerSocket peer;
};

TEST_F(AutoConfigClientInput, AppliesUserListAndLearnsOwnAddress)
{
    owner.Settings.AddOrUpdateUser("Old", "10.0.0.99");
    Feed(peer, Frame(UserInfo(2, {{"10.0.0.7", "Bob"}, {"1.2.3.4", "Hal"}})));

    Bytes body = UserInfo(2, {{"10.0.0.7", "Bob"}, {"1.2.3.4", "Hal"}});
    EXPECT_EQ(peer.ProcessInput(&peer), static_cast<int>(body.size()));

    EXPECT_EQ(owner.Log.Lines(), (std::vector<std::string>{"Received info for 2 users...",
                                                           "10.0.0.7 (Bob)", "1.2.3.4 (Hal)"}));
    EXPECT_EQ(owner.ExternalIP(), "10.0.0.7");
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Hal 1.2.3.4 1", "Old 10.0.0.99 0"}));
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
}

TEST_F(AutoConfigClientInput, TwoUserInfosInOneMessageApplyInOrder)
{
    Feed(peer, Frame(Concat({UserInfo(2, {{"10.0.0.1", "Al"}, {"10.0.0.2", "Bo"}}),
                             UserInfo(1, {{"10.0.0.3", "Cy"}})})));
    peer.ProcessInput(&peer);

    EXPECT_EQ(
        owner.Log.Lines(),
        (std::vector<std::string>{"Received info for 2 users...", "10.0.0.1 (Al)", "10.0.0.2 (Bo)",
                                  "Received info for 1 users...", "10.0.0.3 (Cy)"}));
    // The second list's clearing unchecks the players of the first it does not list.
    EXPECT_EQ(owner.Users(),
              (std::vector<std::string>{"Cy 10.0.0.3 1", "Bo 10.0.0.2 0", "Al 10.0.0.1 0"}));
}

TEST_F(AutoConfigClientInput, UnknownCommandSkipsTheRestOfItsMessageOnly)
{
    // 12 bytes: command 0 (the host's), then 8 bytes that must not be read as commands.
    Bytes unknown;
    PutInt(unknown, 0);
    PutInt(unknown, 1);
    PutInt(unknown, 5);
    ASSERT_EQ(unknown.size(), 12u);
    Feed(peer, Concat({Frame(unknown), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))}));
    peer.ProcessInput(&peer);

    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{"WARNING: Unknown Command (0) received: 12 bytes.",
                                        "Received info for 1 users...", "10.0.0.3 (Cy)"}));
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Cy 10.0.0.3 1"}));
}

TEST_F(AutoConfigClientInput, UnknownCommandAfterAKnownOneEndsTheMessage)
{
    Bytes body = UserInfo(1, {{"10.0.0.3", "Cy"}});
    PutInt(body, 7);
    PutInt(body, 1); // would look like a CMD_USER_INFO if it were read as a command
    PutInt(body, 1);
    Feed(peer, Frame(body));
    peer.ProcessInput(&peer);

    auto lines = owner.Log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2],
              "WARNING: Unknown Command (7) received: " + std::to_string(body.size()) + " bytes.");
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
}

TEST_F(AutoConfigClientInput, LeftoverBelowFourBytesWaitsFourOrMoreRunAgain)
{
    Bytes first = UserInfo(1, {{"10.0.0.1", "Al"}});
    Bytes second = UserInfo(1, {{"10.0.0.2", "Bo"}});
    Bytes secondFrame = Frame(second);

    // A whole message and 3 bytes of the next: the 3 bytes wait.
    Feed(peer, Concat({Frame(first), Bytes(secondFrame.begin(), secondFrame.begin() + 3)}));
    EXPECT_EQ(peer.ProcessInput(&peer), static_cast<int>(first.size()));
    EXPECT_EQ(peer.In.GetDataLength(), 3u);
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Al 10.0.0.1 1"}));

    // The rest arrives: the waiting bytes complete the message.
    Feed(peer, Bytes(secondFrame.begin() + 3, secondFrame.end()));
    EXPECT_EQ(peer.ProcessInput(&peer), static_cast<int>(second.size()));
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Bo 10.0.0.2 1", "Al 10.0.0.1 0"}));

    // Two whole messages at once: the second runs at once and its length is the result.
    owner.Log.Clear();
    Bytes third = UserInfo(1, {{"10.0.0.3", "Cy"}});
    Feed(peer, Concat({Frame(first), Frame(third)}));
    EXPECT_EQ(peer.ProcessInput(&peer), static_cast<int>(third.size()));
    EXPECT_EQ(owner.Log.Count("10.0.0.1 (Al)"), 1);
    EXPECT_EQ(owner.Log.Count("10.0.0.3 (Cy)"), 1);

    // Four bytes left that are not yet a whole message: processed up to there, result 0.
    Feed(peer, Concat({Frame(first), Bytes(secondFrame.begin(), secondFrame.begin() + 6)}));
    EXPECT_EQ(peer.ProcessInput(&peer), 0);
    EXPECT_EQ(peer.In.GetDataLength(), 6u);
}

TEST_F(AutoConfigClientInput, CountZeroUnchecksEveryoneSilently)
{
    owner.Settings.AddOrUpdateUser("Al", "10.0.0.1");
    Feed(peer, Frame(UserInfo(0, {})));
    peer.ProcessInput(&peer);
    EXPECT_TRUE(owner.Log.Lines().empty());
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Al 10.0.0.1 0"}));
}

TEST_F(AutoConfigClientInput, NegativeCountIsLoggedAndReadsNothing)
{
    owner.Settings.AddOrUpdateUser("Al", "10.0.0.1");
    Feed(peer, Frame(UserInfo(-1, {})));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(), (std::vector<std::string>{"Received info for -1 users..."}));
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Al 10.0.0.1 0"}));

    // A record after a negative count is not read as a record: its first integer (the
    // IP's length, 8) is taken as the next command, which ends the message.
    owner.Log.Clear();
    Bytes body = UserInfo(-1, {{"10.0.0.9", "Zed"}});
    Feed(peer, Frame(body));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{"Received info for -1 users...",
                                        "WARNING: Unknown Command (8) received: " +
                                            std::to_string(body.size()) + " bytes."}));
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Al 10.0.0.1 0"}));
}

TEST_F(AutoConfigClientInput, CountBeyondTheRecordsAppliesThoseThereAndStops)
{
    Feed(peer, Frame(UserInfo(0x7fffffff, {{"10.0.0.1", "Al"}})));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{"Received info for 2147483647 users...", "10.0.0.1 (Al)"}));
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Al 10.0.0.1 1"}));
}

TEST_F(AutoConfigClientInput, StringRunningPastTheMessageIsMalformed)
{
    // Al is whole; the next record's IP claims a million bytes; a command after it
    // must not run.
    Bytes body = UserInfo(2, {{"10.0.0.1", "Al"}});
    PutInt(body, 1000000);
    body.insert(body.end(), {'1', '0', '.'});
    Feed(peer, Concat({Frame(body), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))}));
    peer.ProcessInput(&peer);

    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{
                  "Received info for 2 users...", "10.0.0.1 (Al)",
                  "WARNING: Malformed message received: " + std::to_string(body.size()) + " bytes.",
                  "Received info for 1 users...", "10.0.0.3 (Cy)"}));
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{"Cy 10.0.0.3 1", "Al 10.0.0.1 0"}));
}

TEST_F(AutoConfigClientInput, MessageTooShortForACommandIsMalformed)
{
    Feed(peer, Frame({0, 0}));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{"WARNING: Malformed message received: 2 bytes."}));
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
}

TEST_F(AutoConfigClientInput, RecordWithEmptyNameIsAppliedLikeAnyOther)
{
    Feed(peer, Frame(UserInfo(1, {{"10.0.0.3", ""}})));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{"Received info for 1 users...", "10.0.0.3 ()"}));
    EXPECT_EQ(owner.Users(), (std::vector<std::string>{" 10.0.0.3 1"}));
}

// --- over a real connection ---

class AutoConfigClientConnection : public ::testing::Test
{
protected:
    void SetUp() override
    {
        listener = ListenLoopback(port);
        ASSERT_GE(listener.Get(), 0);
        ASSERT_NE(peer.Connect("127.0.0.1", port, 0), 0) << peer.GetLastError().c_str();
        host = AcceptWithin(listener.Get());
        ASSERT_GE(host.Get(), 0);
    }

    // Polls the client until `done` or the connection ends; gives Poll's last result.
    int PollUntil(const std::function<bool()>& done)
    {
        int alive = 1;
        WaitUntil([&] {
            alive = peer.Poll();
            return !alive || done();
        });
        return alive;
    }

    CTestOwner owner{"Bob"};
    CPeerSocket peer{&owner};
    int port = 0;
    CFd listener;
    CFd host;
};

TEST_F(AutoConfigClientConnection, JoinLeavesAsOneMessageAtTheFirstPoll)
{
    peer << CMD_JOIN << owner.Settings.AutoName;
    EXPECT_NE(peer.Poll(), 0);
    auto body = ReadFrame(host.Get());
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, (Bytes{0, 0, 0, 0, 0, 0, 0, 3, 'B', 'o', 'b'}));
}

TEST_F(AutoConfigClientConnection, MessageSplitAcrossReadsIsHandledWhenWhole)
{
    Bytes frame = Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}));
    ASSERT_TRUE(SendAll(host.Get(), Bytes(frame.begin(), frame.begin() + 3)));
    for (int i = 0; i < 5; ++i)
        ASSERT_NE(peer.Poll(), 0);
    ASSERT_TRUE(SendAll(host.Get(), Bytes(frame.begin() + 3, frame.end() - 1)));
    for (int i = 0; i < 5; ++i)
        ASSERT_NE(peer.Poll(), 0);
    EXPECT_TRUE(owner.Log.Lines().empty());
    ASSERT_TRUE(SendAll(host.Get(), Bytes(frame.end() - 1, frame.end())));
    EXPECT_NE(PollUntil([&] { return owner.Log.Has("10.0.0.3 (Cy)"); }), 0);
}

TEST_F(AutoConfigClientConnection, UnknownCommandKeepsTheConnection)
{
    Bytes unknown;
    PutInt(unknown, 0);
    PutInt(unknown, 0);
    PutInt(unknown, 0);
    ASSERT_TRUE(SendAll(host.Get(), Frame(unknown)));
    EXPECT_NE(PollUntil([&] {
                  return owner.Log.Has("WARNING: Unknown Command (0) received: 12 bytes.");
              }),
              0);
    ASSERT_TRUE(SendAll(host.Get(), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))));
    EXPECT_NE(PollUntil([&] { return owner.Log.Has("10.0.0.3 (Cy)"); }), 0);
}

TEST_F(AutoConfigClientConnection, LargestMessageIsTaken)
{
    Bytes body = UserInfo(1, {{"10.0.0.3", ""}});
    size_t nameLength = CUSocket::MaxMessageLength - body.size();
    body = UserInfo(1, {{"10.0.0.3", std::string(nameLength, 'n')}});
    ASSERT_EQ(body.size(), static_cast<size_t>(CUSocket::MaxMessageLength));
    ASSERT_TRUE(SendAll(host.Get(), Frame(body)));
    EXPECT_NE(PollUntil([&] { return owner.Users().size() == 1; }), 0);
}

TEST_F(AutoConfigClientConnection, OversizedMessageIsRefusedAndTheConnectionClosed)
{
    Bytes frame = Frame(Bytes(CUSocket::MaxMessageLength + 1, 0));
    std::thread writer([&] { SendAll(host.Get(), frame); });
    EXPECT_EQ(PollUntil([] { return false; }), 0);
    writer.join();
    EXPECT_EQ(owner.Log.Lines(),
              (std::vector<std::string>{"WARNING: Message longer than 65536 bytes received; "
                                        "connection closed."}));
    EXPECT_FALSE(peer.IsOpen());
    EXPECT_TRUE(WaitForClose(host.Get()));
}

TEST_F(AutoConfigClientConnection, NegativeLengthIsRefusedToo)
{
    ASSERT_TRUE(SendAll(host.Get(), Bytes{0xff, 0xff, 0xff, 0xfc, 0, 0, 0, 1}));
    EXPECT_EQ(PollUntil([] { return false; }), 0);
    EXPECT_EQ(owner.Log.Count("WARNING: Message longer than 65536 bytes received; "
                              "connection closed."),
              1);
}

TEST_F(AutoConfigClientConnection, WhatArrivedBeforeTheHostLeftIsStillApplied)
{
    ASSERT_TRUE(SendAll(host.Get(), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))));
    host.Reset();
    EXPECT_EQ(PollUntil([] { return false; }), 0);
    EXPECT_TRUE(owner.Log.Has("10.0.0.3 (Cy)"));
    EXPECT_EQ(peer.Poll(), 0);
}

TEST_F(AutoConfigClientConnection, FloodOfTinyMessagesIsHandledMessageByMessage)
{
    // As many one-byte messages as one read can hold: each is malformed on its own.
    const size_t count = (4 + CUSocket::MaxMessageLength) / 5;
    Bytes flood;
    for (size_t i = 0; i < count; ++i)
        flood.insert(flood.end(), {0, 0, 0, 1, 0x42});
    std::thread writer([&] { SendAll(host.Get(), flood); });
    EXPECT_NE(PollUntil([&] {
                  return owner.Log.Count("WARNING: Malformed message received: 1 bytes.") ==
                         static_cast<int>(count);
              }),
              0);
    writer.join();
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
}

TEST_F(AutoConfigClientConnection, EmptyMessageIsSkipped)
{
    ASSERT_TRUE(SendAll(host.Get(), Concat({Frame({}), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))})));
    EXPECT_NE(PollUntil([&] { return owner.Log.Has("10.0.0.3 (Cy)"); }), 0);
}

TEST(AutoConfigClientConnect, RefusedConnectionGivesZero)
{
    int port = 0;
    {
        CFd probe = ListenLoopback(port); // a port nobody listens on once it is closed
    }
    CPeerSocket peer;
    EXPECT_EQ(peer.Connect("127.0.0.1", port, 0), 0);
    EXPECT_FALSE(peer.IsOpen());
    EXPECT_EQ(peer.Poll(), 0);
    EXPECT_EQ(peer.Connect("not-an-address", port, 0), 0);
}

} // namespace

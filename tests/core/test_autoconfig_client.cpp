// The AutoConfig client byte by byte: what a CPeerSocket sends, and what it does with
// every kind of message a host (or anyone else) may send it.

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

std::string Warning(const char* what, size_t bytes)
{
    return std::string("WARNING: ") + what + " received: " + std::to_string(bytes) + " bytes.";
}

TEST_F(AutoConfigClientInput, AppliesUserListsInOrderAndLearnsOwnAddress)
{
    owner.Settings.AddOrUpdateUser("Old", "10.0.0.99");
    Bytes body = UserInfo(2, {{"10.0.0.7", "Bob"}, {"1.2.3.4", "Hal"}});
    Feed(peer, Frame(body));
    EXPECT_EQ(peer.ProcessInput(&peer), static_cast<int>(body.size()));
    EXPECT_EQ(owner.Log.Lines(),
              (Lines{"Received info for 2 users...", "10.0.0.7 (Bob)", "1.2.3.4 (Hal)"}));
    EXPECT_EQ(owner.ExternalIP(), "10.0.0.7");
    EXPECT_EQ(owner.Users(), (Lines{"Hal 1.2.3.4 1", "Old 10.0.0.99 0"}));
    EXPECT_EQ(peer.In.GetDataLength(), 0u);

    // Two lists in one message: the second's clearing unchecks what it does not list.
    owner.Log.Clear();
    Feed(peer, Frame(Concat({UserInfo(2, {{"10.0.0.1", "Al"}, {"10.0.0.2", "Bo"}}),
                             UserInfo(1, {{"10.0.0.3", "Cy"}})})));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (Lines{"Received info for 2 users...", "10.0.0.1 (Al)", "10.0.0.2 (Bo)",
                     "Received info for 1 users...", "10.0.0.3 (Cy)"}));
    EXPECT_EQ(owner.Users(), (Lines{"Cy 10.0.0.3 1", "Bo 10.0.0.2 0", "Al 10.0.0.1 0",
                                    "Hal 1.2.3.4 0", "Old 10.0.0.99 0"}));
}

TEST_F(AutoConfigClientInput, UnknownCommandEndsItsMessageOnly)
{
    // Command 0 (the host's) in 12 bytes: the 8 after it must not be read as commands.
    Feed(peer, Concat({Frame(Ints({0, 1, 5})), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))}));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(), (Lines{Warning("Unknown Command (0)", 12),
                                        "Received info for 1 users...", "10.0.0.3 (Cy)"}));
    EXPECT_EQ(owner.Users(), (Lines{"Cy 10.0.0.3 1"}));

    // After a known command; the 1, 1 following it would look like a CMD_USER_INFO.
    owner.Log.Clear();
    Bytes body = Concat({UserInfo(1, {{"10.0.0.3", "Cy"}}), Ints({7, 1, 1})});
    Feed(peer, Frame(body));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(), (Lines{"Received info for 1 users...", "10.0.0.3 (Cy)",
                                        Warning("Unknown Command (7)", body.size())}));
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
    EXPECT_EQ(owner.Users(), (Lines{"Al 10.0.0.1 1"}));

    // The rest arrives: the waiting bytes complete the message.
    Feed(peer, Bytes(secondFrame.begin() + 3, secondFrame.end()));
    EXPECT_EQ(peer.ProcessInput(&peer), static_cast<int>(second.size()));
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
    EXPECT_EQ(owner.Users(), (Lines{"Bo 10.0.0.2 1", "Al 10.0.0.1 0"}));

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

TEST_F(AutoConfigClientInput, CountZeroNegativeOrBeyondTheRecords)
{
    owner.Settings.AddOrUpdateUser("Al", "10.0.0.1");
    Feed(peer, Frame(UserInfo(0, {}))); // unchecks everyone silently
    peer.ProcessInput(&peer);
    EXPECT_TRUE(owner.Log.Lines().empty());
    EXPECT_EQ(owner.Users(), (Lines{"Al 10.0.0.1 0"}));

    // -1 reads no record: the IP's length (8) after it is taken as the next command.
    Bytes negative = UserInfo(-1, {{"10.0.0.9", "Zed"}});
    Feed(peer, Concat({Frame(UserInfo(-1, {})), Frame(negative)}));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (Lines{"Received info for -1 users...", "Received info for -1 users...",
                     Warning("Unknown Command (8)", negative.size())}));
    EXPECT_EQ(owner.Users(), (Lines{"Al 10.0.0.1 0"}));

    // A count beyond the records applies those there and stops.
    owner.Log.Clear();
    Feed(peer, Frame(UserInfo(0x7fffffff, {{"10.0.0.2", "Bo"}})));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(), (Lines{"Received info for 2147483647 users...", "10.0.0.2 (Bo)"}));
    EXPECT_EQ(owner.Users(), (Lines{"Bo 10.0.0.2 1", "Al 10.0.0.1 0"}));
}

TEST_F(AutoConfigClientInput, TruncatedStringOrCommandIsMalformed)
{
    // Al is whole; the next IP claims a million bytes; nothing after it in that message runs.
    Bytes body = Concat({UserInfo(2, {{"10.0.0.1", "Al"}}), Ints({1000000}), {'1', '0', '.'}});
    Feed(peer, Concat({Frame(body), Frame({0, 0}), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))}));
    peer.ProcessInput(&peer);
    EXPECT_EQ(owner.Log.Lines(),
              (Lines{"Received info for 2 users...", "10.0.0.1 (Al)",
                     Warning("Malformed message", body.size()), Warning("Malformed message", 2),
                     "Received info for 1 users...", "10.0.0.3 (Cy)"}));
    EXPECT_EQ(owner.Users(), (Lines{"Cy 10.0.0.3 1", "Al 10.0.0.1 0"}));
    EXPECT_EQ(peer.In.GetDataLength(), 0u);
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

TEST_F(AutoConfigClientConnection, SplitEmptyAndUnknownMessagesKeepTheConnection)
{
    Bytes frame = Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}));
    for (auto [from, to] : {std::pair{0, 3}, std::pair{3, int(frame.size()) - 1}}) {
        ASSERT_TRUE(SendAll(host.Get(), Bytes(frame.begin() + from, frame.begin() + to)));
        for (int i = 0; i < 5; ++i)
            ASSERT_NE(peer.Poll(), 0);
    }
    EXPECT_TRUE(owner.Log.Lines().empty());
    ASSERT_TRUE(SendAll(host.Get(), Bytes(frame.end() - 1, frame.end())));
    EXPECT_NE(PollUntil([&] { return owner.Log.Has("10.0.0.3 (Cy)"); }), 0);

    ASSERT_TRUE(SendAll(host.Get(), Concat({Frame({}), Frame(Ints({0, 0, 0}))})));
    EXPECT_NE(PollUntil([&] { return owner.Log.Has(Warning("Unknown Command (0)", 12)); }), 0);
    ASSERT_TRUE(SendAll(host.Get(), Frame(UserInfo(1, {{"10.0.0.4", "Di"}}))));
    EXPECT_NE(PollUntil([&] { return owner.Log.Has("10.0.0.4 (Di)"); }), 0);
    EXPECT_EQ(owner.Log.Lines().size(), 5u); // the empty message was skipped silently
}

const char* const kTooLong =
    "WARNING: Message longer than 65536 bytes received; connection closed.";

TEST_F(AutoConfigClientConnection, LargestMessageIsTakenOneByteMoreClosesTheConnection)
{
    size_t nameLength = CUSocket::MaxMessageLength - UserInfo(1, {{"10.0.0.3", ""}}).size();
    Bytes largest = UserInfo(1, {{"10.0.0.3", std::string(nameLength, 'n')}});
    ASSERT_EQ(largest.size(), static_cast<size_t>(CUSocket::MaxMessageLength));
    Bytes frames = Concat({Frame(largest), Frame(Bytes(CUSocket::MaxMessageLength + 1, 0))});
    std::thread writer([&] { SendAll(host.Get(), frames); });
    EXPECT_EQ(PollUntil([] { return false; }), 0);
    writer.join();
    EXPECT_EQ(owner.Users().size(), 1u);
    EXPECT_EQ(owner.Log.Lines().size(), 3u);
    EXPECT_EQ(owner.Log.Lines().back(), kTooLong);
    EXPECT_FALSE(peer.IsOpen());
    EXPECT_TRUE(WaitForClose(host.Get()));
}

TEST_F(AutoConfigClientConnection, NegativeLengthIsRefusedToo)
{
    ASSERT_TRUE(SendAll(host.Get(), Bytes{0xff, 0xff, 0xff, 0xfc, 0, 0, 0, 1}));
    EXPECT_EQ(PollUntil([] { return false; }), 0);
    EXPECT_EQ(owner.Log.Lines(), Lines{kTooLong});
}

TEST_F(AutoConfigClientConnection, WhatArrivedBeforeTheHostLeftIsStillApplied)
{
    ASSERT_TRUE(SendAll(host.Get(), Frame(UserInfo(1, {{"10.0.0.3", "Cy"}}))));
    host.Reset();
    EXPECT_EQ(PollUntil([] { return false; }), 0);
    EXPECT_TRUE(owner.Log.Has("10.0.0.3 (Cy)"));
    EXPECT_EQ(peer.Poll(), 0);
}

TEST(AutoConfigClientConnect, RefusedConnectionGivesZero)
{
    int port = 0;
    {
        CFd probe = ListenLoopback(port); // free again once closed
    }
    CPeerSocket peer;
    EXPECT_EQ(peer.Connect("127.0.0.1", port, 0), 0);
    EXPECT_FALSE(peer.IsOpen());
    EXPECT_EQ(peer.Poll(), 0);
    EXPECT_EQ(peer.Connect("not-an-address", port, 0), 0);
}

} // namespace

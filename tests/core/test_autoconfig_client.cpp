// The AutoConfig client byte by byte: what a CPeerSocket does with whatever a host (or
// anyone else) sends it, and what it sends.
#include "AutoConfigTestKit.h"
#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CPeerSocket.h"

#include <gtest/gtest.h>
#include <malloc.h>

using namespace actest;

namespace
{

std::string Warn(const std::string& what, size_t bytes, const std::string& more = "")
{
    return "WARNING: " + what + " received: " + std::to_string(bytes) + " bytes." + more;
}

TEST(AutoConfigClientInput, EveryKindOfMessage)
{
    const Bytes tail = Wire(1, -1, "10.0.0.9", "Zed"); // -1: the IP's length is read next
    // A string length one byte past the end: of the data, then of the message only.
    const Bytes cut = Wire(1, 2, "10.0.0.1", "Al", 3) + Bytes{'1', '0'};
    const std::string longName = std::string(254, 'a') + "\xc3\xa9zz"; // é across byte 255
    Bytes flood;
    for (int i = 0; i < 13000; ++i)
        flood = flood + Bytes{0, 0, 0, 1, 0x42};
    const Lines old{"Old 10.0.0.99 0"};
    struct Case {
        const char* why;
        Bytes input;
        Lines log, users;
        size_t left = 0;
        std::string own = "Bob";
    } cases[] = {
        // clang-format off
        {"own record sets ExternalIP, others checked, the unlisted unchecked", Frame(Wire(1, 2, "10.0.0.7", "Bob", "1.2.3.4", "Hal")),
         {"Received info for 2 users...", "10.0.0.7 (Bob)", "1.2.3.4 (Hal)"}, {"Hal 1.2.3.4 1", "Old 10.0.0.99 0"}},
        {"two lists in one message apply in order", Frame(Wire(1, 1, "10.0.0.1", "Al", 1, 1, "10.0.0.3", "Cy")),
         {"Received info for 1 users...", "10.0.0.1 (Al)", "Received info for 1 users...", "10.0.0.3 (Cy)"},
         {"Cy 10.0.0.3 1", "Al 10.0.0.1 0", "Old 10.0.0.99 0"}},
        {"a host's command ends only its own message", Frame(Wire(0, 1, 5)) + Frame(Wire(1, 1, "10.0.0.3", "Cy")),
         {Warn("Unknown Command (0)", 12), "Received info for 1 users...", "10.0.0.3 (Cy)"}, {"Cy 10.0.0.3 1", "Old 10.0.0.99 0"}},
        {"count 0 unchecks silently", Frame(Wire(1, 0)), {}, old},
        {"count -1 reads no record", Frame(tail), {"Received info for -1 users...", Warn("Unknown Command (8)", tail.size())}, old},
        {"a string past the data: what came before stands", Frame(cut),
         {"Received info for 2 users...", "10.0.0.1 (Al)", Warn("Malformed message", cut.size())}, {"Al 10.0.0.1 1", "Old 10.0.0.99 0"}},
        {"a string past the message, into the next one", Frame(cut) + Frame(Wire(1, 0)),
         {"Received info for 2 users...", "10.0.0.1 (Al)", Warn("Malformed message", cut.size())}, {"Al 10.0.0.1 0", "Old 10.0.0.99 0"}},
        {"texts that are no address are skipped, one line for each run",
         Frame(Wire(1, 5, "1.2.3.400", "Al", "", "Bo", "10.0.0.1\n", "Cy", "10.0.0.4", "Di", "x", "Ed")),
         {"Received info for 5 users...", "WARNING: Invalid IP address 1.2.3.400 (Al) skipped. (and 2 more like it)", "10.0.0.4 (Di)",
          "WARNING: Invalid IP address x (Ed) skipped."}, {"Di 10.0.0.4 1", "Old 10.0.0.99 0"}},
        {"an empty message is passed over", Frame({}) + Frame(Wire(1, 1, "10.0.0.3", "Cy")),
         {"Received info for 1 users...", "10.0.0.3 (Cy)"}, {"Cy 10.0.0.3 1", "Old 10.0.0.99 0"}},
        {"an own name longer than 255 bytes comes back cut: still not a player", Frame(Wire(1, 1, "10.0.0.8", std::string(255, 'b'))),
         {"Received info for 1 users...", "10.0.0.8 (" + std::string(64, 'b') + "...)"}, old, 0, std::string(300, 'b')},
        {"a flood of tiny messages is one line, handled without nesting", flood,
         {Warn("Malformed message", 1, " (and 12999 more like it)")}, {"Old 10.0.0.99 1"}},
        {"names cut to 255 bytes at a character, and to 64 escaped ones in the log", Frame(Wire(1, 2, "10.0.0.5", longName, "10.0.0.6", "E\x01v")),
         {"Received info for 2 users...", "10.0.0.5 (" + std::string(64, 'a') + "...)", "10.0.0.6 (E\\x01v)"},
         {"E\x01v 10.0.0.6 1", std::string(254, 'a') + " 10.0.0.5 1", "Old 10.0.0.99 0"}},
        {"an integer cut short", Frame(Wire(1) + Bytes{0, 0, 0}) + Frame(Wire(1, 0)), {Warn("Malformed message", 7)}, old},
        {"3 bytes of the next message wait", Frame(Wire(1, 0)) + Bytes{0, 0, 0}, {}, old, 3},
        {"4 bytes that are not yet a message wait", Frame(Wire(1, 0)) + Wire(8), {}, old, 4},
        // clang-format on
    };
    for (const Case& c : cases) {
        CTestOwner owner(c.own.c_str());
        owner.Settings.AddOrUpdateUser("Old", "10.0.0.99");
        CPeerSocket peer(&owner);
        peer.In.Append(c.input.data(), c.input.size());
        peer.ProcessInput(&peer);
        EXPECT_EQ(owner.Log(), c.log) << c.why;
        EXPECT_EQ(owner.Users(), c.users) << c.why;
        EXPECT_EQ(peer.In.GetDataLength(), c.left) << c.why;
        EXPECT_EQ(owner.Settings.ExternalIP == "10.0.0.7",
                  c.log.size() > 1 && c.log[1] == "10.0.0.7 (Bob)")
            << c.why;
    }
}

// Input that never empties, a message always half in, must give back the front that each
// message leaves, or memory grows by every byte ever received.
TEST(AutoConfigClientInput, InputThatNeverEmptiesKeepsItsMemory)
{
    auto used = [] { return static_cast<long>(mallinfo2().uordblks + mallinfo2().hblkhd); };
    CUBuffer in;
    const Bytes chunk(64 * 1024, 'x');
    const long before = used();
    for (int i = 0; i < 1000; ++i) {
        in.Append(chunk.data(), chunk.size());
        in.Remove(in.GetDataLength() - 3);
    }
    EXPECT_LT(used() - before, 1L << 20);
}

TEST(AutoConfigClientInput, ChangesTheUserListOnlyUnderItsLock)
{
    CTestOwner owner("Cy");
    CPeerSocket peer(&owner);
    const Bytes info = Frame(Wire(1, 1, "10.0.0.3", "Al"));
    peer.In.Append(info.data(), info.size());
    std::atomic<bool> done{false};
    std::thread poll;
    {
        CCSLock held(g_usersLock); // as the list view holds it while it draws a row
        poll = std::thread([&] { done = peer.ProcessInput(&peer) != 0; });
        EXPECT_FALSE(WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(300)));
    }
    poll.join();
    EXPECT_EQ(owner.Users(), Lines{"Al 10.0.0.3 1"});
}

TEST(AutoConfigClientConnection, JoinThenLargestMessageTakenOneByteMoreCloses)
{
    CTestOwner owner("Bob");
    CPeerSocket peer(&owner);
    ScopedFd listener = Loopback("127.0.0.1", 18087, true);
    ScopedFd host(peer.Connect("127.0.0.1", 18087, 0) ? ::accept(listener.Get(), nullptr, nullptr)
                                                      : -1);
    peer << CMD_JOIN << owner.Settings.AutoName; // leaves as one message at the first poll
    EXPECT_NE(peer.Poll(), 0);
    EXPECT_EQ(ReadFrame(host.Get()), (Bytes{0, 0, 0, 0, 0, 0, 0, 3, 'B', 'o', 'b'}));

    const std::string name(CUSocket::MaxMessageLength - Wire(1, 1, "10.0.0.3", "").size(), 'n');
    Bytes frames =
        Frame(Wire(1, 1, "10.0.0.3", name)) + Frame(Bytes(CUSocket::MaxMessageLength + 1));
    std::thread writer([&] { SendAll(host.Get(), frames); });
    EXPECT_TRUE(WaitUntil([&] { return !peer.Poll(); }));
    writer.join();
    EXPECT_EQ(owner.Log(),
              (Lines{"Received info for 1 users...", "10.0.0.3 (" + std::string(64, 'n') + "...)",
                     "WARNING: Message longer than 65536 bytes received; connection closed."}));
    char c; // closed (end of stream or reset), not left open
    EXPECT_TRUE(::recv(host.Get(), &c, 1, 0) == 0 || errno == ECONNRESET);
}

TEST(AutoConfigClientConnection, APeerThatNeverReadsIsDropped)
{
    // Its unsent output would otherwise grow by every message for as long as it stays.
    CPeerSocket peer;
    ScopedFd listener = Loopback("127.0.0.1", 18087, true);
    ScopedFd host(peer.Connect("127.0.0.1", 18087, 0) ? ::accept(listener.Get(), nullptr, nullptr)
                                                      : -1);
    bool dropped = false;
    for (int i = 0; i < 2000 && !dropped; ++i) {
        peer.Out << CUString(std::string(60000, 'x'));
        dropped = !peer.Poll();
    }
    EXPECT_TRUE(dropped);
    EXPECT_EQ(peer.GetLastError(), "peer takes no data");
}

} // namespace

// Forwarding through the helper, end to end in namespaces on one bridge in "hub": the
// player (10.77.0.1 and 10.78.0.1) runs the window side; remote1-3 (10.77.0.2-4, remote3 an
// unchecked user) receive on ordinary UDP sockets, which drop a copy with a wrong checksum;
// remote1 also owns all of 10.99.0.0/24; "sink" (10.88.0.2-3) sits behind a link so slow that
// a blocking send to it would wait for minutes. The hub itself (10.77.0.100 on the bridge) is
// a VM host whose ports lead to the others. Then the helper's contract, without namespaces.

#include "AutoConfigTestKit.h"
#include "NetNs.h"
#include "PacketBytes.h"
#include "TempDir.h"
#include "WireGuard.h"
#include "autoconfig/CAutoConfig.h"
#include "base/CUSocket.h"
#include "forward/CForwardLink.h"
#include "forward/CForwarder.h"
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

using namespace std::string_literals;
using Strings = std::vector<std::string>;

namespace
{

constexpr int GamePort = 27015, PlayerPort = 40000;

struct Lan {
    NetNs hub{"hub"}, player{"player"}, r1{"remote1"}, r2{"remote2"}, r3{"remote3"}, sink{"sink"};
    std::string Build()
    {
        NetNs* hosts[] = {&player, &r1, &r2, &r3};
        bool ok = hub.Ok() && sink.Ok() && hub.Ip("link add br0 type bridge") &&
                  hub.Ip("link set br0 up") && hub.Ip("addr add 10.77.0.100/24 dev br0");
        for (int i = 0; ok && i < 4; ++i) {
            const std::string n = std::to_string(i + 1), mac = "02:77:00:00:00:0" + n;
            // Copies leave at once only when no neighbour needs resolving first (200 would
            // overflow its queue); strict reverse-path filtering would drop the multi-homed
            // player's copies.
            ok = hosts[i]->Ok() && AddVethPair(hub, "p" + n, *hosts[i], "eth0", mac) &&
                 hub.Ip("link set p" + n + " master br0") &&
                 hosts[i]->Ip("addr add 10.77.0." + n + "/24 dev eth0") &&
                 hosts[i]->SetSysctl("net.ipv4.conf.all.rp_filter", "0") &&
                 hosts[i]->SetSysctl("net.ipv4.conf.eth0.rp_filter", "0") &&
                 (i == 0 || player.Ip("neigh replace 10.77.0." + n + " lladdr " + mac +
                                      " dev eth0 nud permanent"));
        }
        ok =
            ok && player.Ip("route add default dev eth0") &&
            player.Ip("addr add 10.78.0.1/24 dev eth0") &&
            player.Ip("route add 10.99.0.0/24 via 10.77.0.2") &&
            r1.Ip("route add local 10.99.0.0/24 dev lo") &&
            AddVethPair(player, "slow0", sink, "eth0", "02:88:00:00:00:02") &&
            player.Ip("addr add 10.88.0.1/24 dev slow0") &&
            player.Ip("neigh replace 10.88.0.2 lladdr 02:88:00:00:00:02 dev slow0 nud permanent") &&
            player.Ip("neigh replace 10.88.0.3 lladdr 02:88:00:00:00:02 dev slow0 nud permanent") &&
            RunCommand("ip netns exec " + player.Name() +
                       " tc qdisc add dev slow0 root tbf rate 8kbit burst 1600 limit 10mb") == 0;
        return ok ? "" : hub.Error() + player.Error() + r1.Error() + sink.Error() + " (or tc)";
    }
};

std::unique_ptr<Lan> g_lan;
std::string g_skip;

// True once `pid` has ended and been collected (neither running nor a zombie), within 2 s.
bool Collected(pid_t pid)
{
    for (int waited = 0; waited < 2000 && ::kill(pid, 0) == 0; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ::kill(pid, 0) != 0;
}

// The window side in a process of its own, forked in the player: optionally as `nobody` and
// with a descriptor limit; starts a link to `helper` and stops it when told.
struct WindowProcess {
    pid_t pid = -1;
    ScopedFd said, stop;
    std::string Start(const ForwardProtocol::CForwardStart& what, const std::string& helper,
                      bool nobody, rlim_t fdLimit = 0)
    {
        int up[2], down[2];
        if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0)
            return "pipe";
        NetNsScope inPlayer(g_lan->player);
        pid = ::fork();
        if (pid == 0) {
            const rlimit limit{fdLimit, fdLimit};
            if ((nobody && (::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534))) ||
                (fdLimit && ::setrlimit(RLIMIT_NOFILE, &limit)) ||
                ::dup2(::open("/dev/null", O_RDONLY), 20) != 20) // left open for the helper
                ::_exit(9);
            CForwardLink::SetHelperPath(helper.c_str());
            CForwardLink link;
            CUString error;
            const std::string text = link.Start(what, error)
                                         ? "started " + std::to_string(link.GetHelperPid())
                                         : (link.IsDenied() ? "denied " : "failed ") + error.Str();
            char go;
            if (::write(up[1], text.data(), text.size()) < 0 || ::read(down[0], &go, 1) < 0)
                ::_exit(8);
            CForwardStats stats;
            ::_exit(link.Stop(stats) ? 0 : 7);
        }
        said.Reset(up[0]), stop.Reset(down[1]), ::close(up[1]), ::close(down[0]);
        pollfd ready{said.Get(), POLLIN, 0};
        char text[4096];
        const ssize_t n = ::poll(&ready, 1, 15000) > 0 ? ::read(said.Get(), text, sizeof text) : -1;
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : "no answer";
    }
    ~WindowProcess()
    {
        if (pid > 0 && ::write(stop.Get(), "s", 1) == 1)
            ::waitpid(pid, nullptr, 0);
    }
};

class ForwardNetns : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!(g_skip = NetNsUnavailableReason()).empty())
            return;
        g_lan = std::make_unique<Lan>();
        if (const std::string error = g_lan->Build(); !error.empty())
            g_skip = "could not build the test network: " + error;
    }
    static void TearDownTestSuite() { g_lan.reset(); }
    void SetUp() override
    {
        if (!g_skip.empty())
            GTEST_SKIP() << g_skip;
        lan = g_lan.get();
        const NetNs* remotes[] = {&lan->r1, &lan->r2, &lan->r3};
        for (int i = 0; i < 3; ++i)
            receivers[i].Reset(
                UdpSocketIn(*remotes[i], "10.77.0." + std::to_string(i + 2), GamePort));
        game.Reset(UdpSocketIn(lan->player, "0.0.0.0", PlayerPort, true));
        for (const ScopedFd* fd : {&receivers[0], &receivers[1], &receivers[2], &game})
            ASSERT_GE(fd->Get(), 0);
    }
    // Users in list order; "-" in front leaves one unchecked.
    ForwardProtocol::CForwardStart What(const Strings& users)
    {
        for (const std::string& ip : users) {
            auto* user = new CUserSocket("", ip.c_str() + (ip[0] == '-'));
            user->Forward = ip[0] != '-';
            settings.Users.AddTail(user);
        }
        settings.ExternalIP = "198.51.100.7"; // on no interface: own broadcasts are known by those
        NetNsScope inPlayer(lan->player);
        return CForwardLink::WhatToForward(settings);
    }

    Lan* lan = nullptr;
    ScopedFd receivers[3], game;
    CSettings settings;
};

} // namespace

TEST_F(ForwardNetns, UnprivilegedWindowForwardsThroughTheCapableHelperAndTakesItAlongWhenKilled)
{
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    // scripts/package points this at the helper its package installed (and made capable).
    const char* installed = std::getenv("KIVORA_INSTALLED_HELPER");
    const std::string capable = installed ? installed : dir.File("kivora-forward");
    const std::string plain = dir.File("plain"), link = dir.File("link");
    std::filesystem::copy_file(KIVORA_FORWARD_HELPER, plain);
    std::filesystem::create_symlink(plain, link);
    if (!installed) {
        std::filesystem::copy_file(KIVORA_FORWARD_HELPER, capable);
        ASSERT_EQ(RunCommand("setcap cap_net_raw+ep " + capable), 0);
    }
    // And 200 more, all in remote1, under a descriptor limit of 32: per-user send sockets ran
    // out of descriptors and lost users.
    Strings users{"10.77.0.3", "-10.77.0.4", "10.77.0.2"};
    for (int i = 1; i <= 200; ++i)
        users.push_back("10.99.0." + std::to_string(i));
    const auto what = What(users);

    // Without the capability: libpcap's reason, and the advice naming the helper's real path.
    const std::string refused = WindowProcess().Start(what, link, true);
    EXPECT_EQ(refused.rfind("denied Could not start capturing packets: ", 0), 0u) << refused;
    EXPECT_NE(refused.find("sudo setcap cap_net_raw+ep " + plain + "\n"), std::string::npos);

    ScopedFd second(UdpSocketIn(lan->player, "10.78.0.1", PlayerPort + 1, true));
    ScopedFd everyone(UdpSocketIn(lan->r1, "0.0.0.0", GamePort));
    WindowProcess window;
    const std::string said = window.Start(what, capable, true, 32);
    ASSERT_EQ(said.substr(0, 8), "started ") << said;
    const std::string helper = "/proc/" + said.substr(8),
                      status = ReadWholeFile(helper + "/status");
    EXPECT_NE(status.find("CapEff:\t0000000000000000"), std::string::npos) << status;
    char inherited[64] = {};
    EXPECT_EQ(::readlink((helper + "/fd/20").c_str(), inherited, sizeof inherited - 1), -1)
        << "the helper kept the window's descriptor " << inherited;

    // From the player's two addresses; a zero byte in the payload must survive. Receivers
    // drop a copy whose checksum is wrong.
    const struct {
        int fd;
        std::string source, payload;
    } broadcasts[] = {{game.Get(), "10.77.0.1:40000", "game \x01\x00 announcement"s},
                      {second.Get(), "10.78.0.1:40001", "from the second address"}};
    for (const auto& sent : broadcasts) {
        ASSERT_TRUE(SendDatagram(sent.fd, "255.255.255.255", GamePort, sent.payload));
        for (int user : {1, 0}) {
            ReceivedDatagram copy;
            ASSERT_TRUE(ReceiveDatagram(receivers[user].Get(), copy)) << "no copy for " << user;
            EXPECT_EQ(copy.payload, sent.payload);
            EXPECT_EQ(copy.source, sent.source);
        }
        std::set<std::string> reached;
        for (ReceivedDatagram copy; reached.size() < 200 && ReceiveDatagram(everyone.Get(), copy);)
            reached.insert(copy.destination);
        EXPECT_EQ(reached.size(), 200u);
    }
    ReceivedDatagram extra;
    EXPECT_FALSE(ReceiveDatagram(receivers[2].Get(), extra, 200)) << "an unchecked user got a copy";

    // The window killed: the helper must not forward on its own.
    ::kill(window.pid, SIGKILL);
    ::waitpid(window.pid, nullptr, 0);
    window.pid = -1;
    auto ended = [helper = "/proc/" + said.substr(8) + "/stat"] { // gone, or a zombie
        const std::string stat = ReadWholeFile(helper);
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    };
    for (int waited = 0; waited < 1000 && !ended(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ended()) << "the helper outlived its window by a second";
}

TEST_F(ForwardNetns, StopAnswersWithNoTrafficUnderAFloodAndAtOnce)
{
    // A stop the helper does not answer in time is a hung forwarding loop (Stop gives 0).
    NetNsScope inPlayer(lan->player);
    CForwardLink::SetHelperPath(KIVORA_FORWARD_HELPER);
    const auto what = What({"10.77.0.2"});
    for (const char* when : {"no traffic", "flood", "at once", "sends would block"}) {
        const bool blocking = when == "sends would block"s;
        auto run = what;
        if (blocking) // a queue that never drains: the send socket fills up
            run.Users = {Ip4("10.88.0.2"), Ip4("10.88.0.3")};
        CForwardLink link;
        CUString error;
        ASSERT_TRUE(link.Start(run, error)) << error.c_str();
        std::atomic<bool> sending{when != "no traffic"s && when != "at once"s};
        std::thread flood([&] {
            for (const std::string payload(1400, 'x'); sending.load();)
                SendDatagram(game.Get(), "255.255.255.255", GamePort, payload);
        });
        CForwardStats stats;
        ReceivedDatagram copy;
        for (int received = 0; !blocking && sending && received < 500;)
            received += ReceiveDatagram(receivers[0].Get(), copy) ? 1 : 500;
        for (int polls = 0; blocking && polls < 100 && stats.Failed == 0; ++polls) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            link.Poll(stats);
        }
        // Idle, the helper sleeps: counters that did not change are not sent.
        EXPECT_TRUE(when != "no traffic"s || !ForwardProtocol::WaitReadable(link.GetFd(), 1200));
        const pid_t helper = link.GetHelperPid();
        EXPECT_EQ(link.Stop(stats), 1) << when;
        EXPECT_TRUE(Collected(helper)) << "a stopped helper left running or a zombie";
        sending = false;
        flood.join();
        EXPECT_TRUE(!blocking || stats.Failed > 0) << "a send that would block must fail, counted";
    }
}

// The hub as a VM host: its own broadcast leaves by the bridge and again by each port, and
// what the player (a VM, or a LAN host) sends is passed on through the other ports. Only the
// hub's own reaches each user, once. Faults: a port's copy forwarded, a failed send counted
// with the errno of the send before or for another user, no SO_BROADCAST.
TEST_F(ForwardNetns, OnABridgeOnlyTheHostsOwnBroadcastGoesOutAndOnce)
{
    NetNsScope inHub(lan->hub);
    CForwardLink::SetHelperPath(KIVORA_FORWARD_HELPER);
    CForwardLink link;
    CUString error;
    // Between them: one never sent to, a subnet broadcast (needs SO_BROADCAST), one unreachable.
    std::vector<uint32_t> users;
    for (const char* ip : {"10.77.0.2", "0.0.0.0", "10.77.0.255", "10.77.0.3", "10.5.5.5"})
        users.push_back(Ip4(ip));
    ASSERT_TRUE(link.Start({0, 0, users}, error)) << error.c_str();
    ASSERT_TRUE(SendDatagram(game.Get(), "255.255.255.255", GamePort, "the VM's own"));
    const Bytes big = Datagram{.from = "10.77.0.100", .payload = std::string(3000, 'f')}.Build();
    for (const Bytes& spoofed : {Datagram{.from = "10.77.0.100"}.Build(), Fragment(big, 1480, 1480),
                                 WithOption(Datagram{.from = "10.77.0.100"}.Build())})
        lan->player.Run([&] {
            sockaddr_in to{AF_INET, 0, {Ip4("255.255.255.255")}, {}};
            const ScopedFd raw(::socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
            const int on = 1;
            ::setsockopt(raw.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
            EXPECT_GT(::sendto(raw.Get(), spoofed.data(), spoofed.size(), 0,
                               reinterpret_cast<sockaddr*>(&to), sizeof to),
                      0);
        });
    const ScopedFd host(UdpSocketIn(lan->hub, "10.77.0.100", PlayerPort, true));
    ASSERT_TRUE(SendDatagram(host.Get(), "255.255.255.255", GamePort, "marker"));
    for (int user : {0, 1}) {
        Strings got;
        for (ReceivedDatagram copy; ReceiveDatagram(receivers[user].Get(), copy, 500);)
            got.push_back(copy.payload);
        EXPECT_EQ(got, Strings{"marker"}) << "user " << user;
    }
    CForwardStats stats;
    EXPECT_TRUE(link.Stop(stats) && stats.Captured == 1 && stats.Failed == 1);
    ASSERT_EQ(stats.Errors.size(), 1u) << "a failed send without its errno";
    EXPECT_EQ(stats.Errors[0].Error + stats.Users[4].LastError, 2 * ENETUNREACH);
}

TEST_F(ForwardNetns, AFailedCaptureReadDoesNotEndTheLoopNorDoesAnEarlyStopHang)
{
    // A recording whose first record header is cut short: the very first read fails.
    TempDir dir;
    const std::string path = dir.File("cut.pcap");
    WriteWholeFile(path, std::string("\xd4\xc3\xb2\xa1\x02\0\x04\0\0\0\0\0\0\0\0\0"
                                     "\xff\xff\0\0\x14\x01\0\0\x01\0\0\0",
                                     28));
    NetNsScope inPlayer(lan->player);
    CForwarder forwarder({Ip4("10.77.0.2")}, 0, 0);
    CUString error;
    ASSERT_TRUE(forwarder.OpenCaptureFile(path.c_str(), error)) << error.c_str();
    ASSERT_TRUE(forwarder.StartThread(CForwarder::ForwardThread, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // past the failed read
    EXPECT_EQ(forwarder.GetState(), CThreadHelper::Running) << "a read error ended the loop";
    for (int round = 0; round < 20; ++round) { // with and without a capture open
        CForwarder early({Ip4("10.77.0.2")}, 0, 0);
        EXPECT_TRUE(round % 2 == 0 || early.OpenCapture(error)) << error.c_str();
        early.StartThread(CForwarder::ForwardThread, 0);
    }
}

// Behind a router, so that the player's subnet is not the users': player 10.50.1.1/24 - router -
// remote 10.50.2.1-3/24, where users One and Three (checked) and Two (unchecked) have real UDP
// sockets on each port. Receivers drop a copy with a wrong checksum or missing fragments, the
// router one whose TTL is 1 (as a game's multicast leaves). The remote has two default routes.
// Faults: the switch ignored, an excluded group or an unchecked user sent to, a multicast copy
// left at TTL 1, a big datagram cut, this machine's address taken from the worse default route.
TEST(ForwardMoreNetns, SubnetBroadcastsAndGamesGroupsReachUsersOnlyWithTheSwitch)
{
    if (const std::string why = NetNsUnavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    NetNs player("mplayer"), router("mrouter"), remote("mremote");
    ASSERT_TRUE(
        AddVethPair(player, "eth0", router, "r0") && AddVethPair(remote, "eth0", router, "r1") &&
        player.Ip("addr add 10.50.1.1/24 brd + dev eth0") &&
        router.Ip("addr add 10.50.1.254/24 dev r0") &&
        router.Ip("addr add 10.50.2.254/24 dev r1") &&
        router.SetSysctl("net.ipv4.ip_forward", "1") &&
        player.Ip("route add default via 10.50.1.254") &&
        remote.Ip("addr add 10.50.2.1/24 dev eth0") &&
        remote.Ip("addr add 10.50.2.2/24 dev eth0") &&
        remote.Ip("addr add 10.50.2.3/24 dev eth0") &&
        // Listed first, on another interface, the worse default route is what a careless
        // reading of the routing table (or of the interfaces) would take.
        AddVethPair(remote, "eth1", router, "r2") && remote.Ip("addr add 10.50.3.1/24 dev eth1") &&
        remote.Ip("route add default via 10.50.3.254 metric 200") &&
        remote.Ip("route add default via 10.50.2.254 metric 100"))
        << player.Error() << router.Error() << remote.Error();
    sockaddr_in own{}; // the address this machine shows as its own
    remote.Run([&own] { CUSocket::GetSockAddr(own, nullptr, 0); });
    EXPECT_EQ(own.sin_addr.s_addr, Ip4("10.50.2.1")) << "not the default route of lowest metric";
    const char* users[] = {"10.50.2.1", "10.50.2.2", "10.50.2.3"};
    const int ports[] = {4445, 5353, 1900}; // a game's, mDNS's and SSDP's
    ScopedFd game(UdpSocketIn(player, "0.0.0.0", 40000, true)), at[3][3];
    CSettings settings;
    for (int u = 0; u < 3; ++u) {
        settings.Users.AddTail(new CUserSocket(users[u], users[u]));
        for (int p = 0; p < 3; ++p) {
            at[u][p].Reset(UdpSocketIn(remote, users[u], ports[p]));
            ASSERT_GE(at[u][p].Get(), 0);
        }
    }
    settings.Users.GetAt(1)->Forward = 0;
    auto next = [](const ScopedFd& fd, int ms = 5000) { // "" when nothing comes
        ReceivedDatagram d;
        return ReceiveDatagram(fd.Get(), d, ms) ? d.payload : "";
    };
    const std::string big(3000, 'F'); // fragmented: the receivers reassemble it
    const std::tuple<const char*, int, std::string> sent[] = {
        {"255.255.255.255", 4445, big},    {"10.50.1.255", 4445, "subnet"},
        {"233.252.0.60", 4445, "group"},   {"224.0.0.251", 5353, "mdns"},
        {"239.255.255.250", 1900, "ssdp"}, {"255.255.255.255", 4445, "marker"}};
    for (int more : {0, 1}) {
        settings.ForwardMore = more;
        const auto what = CForwardLink::WhatToForward(settings);
        CForwarder forwarder(what.Users, what.External, what.ForwardMore);
        {
            NetNsScope inPlayer(player); // the thread starts in the player's namespace too
            CUString error;
            ASSERT_TRUE(forwarder.OpenCapture(error)) << error.c_str();
            ASSERT_TRUE(forwarder.StartThread(CForwarder::ForwardThread, 0));
        }
        for (const auto& [to, port, payload] : sent)
            SendDatagram(game.Get(), to, port, payload);
        const Strings expected =
            more ? Strings{"big", "subnet", "group", "marker"} : Strings{"big", "marker"};
        for (int u : {0, 2}) {
            Strings got;
            for (std::string payload = "-"; payload != "marker" && !payload.empty();)
                got.push_back((payload = next(at[u][0])) == big ? "big" : payload);
            EXPECT_EQ(got, expected) << users[u] << ", ForwardMore=" << more;
            // Copies to one user leave in order: had these come, they would be here by now.
            EXPECT_EQ(next(at[u][1], 0) + next(at[u][2], 0), "");
        }
        EXPECT_EQ(next(at[1][0], 300), "") << "the unchecked user got a copy";
    }
}

namespace
{

// A seccomp filter on this process and all it starts: capset fails with EPERM.
void FailCapset()
{
    sock_filter code[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_capset, 0, 1),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    sock_fprog program{4, code};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(98);
}

// Runs the helper as the window does, but with a socketpair of `type` as descriptor 3 and
// `args`; sends `record` and gives the helper's exit status (-1: it had to be killed).
int HelperExit(int type, Strings args, const Bytes& record, bool failCapset)
{
    int pair[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair) != 0)
        return -2;
    ScopedFd ours(pair[0]), theirs(pair[1]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (failCapset)
            FailCapset();
        ::dup2(theirs.Get(), 3), ::fcntl(3, F_SETFD, 0);
        ::execv(KIVORA_FORWARD_HELPER, argv.data());
        ::_exit(99);
    }
    theirs.Reset();
    ::send(ours.Get(), record.data(), record.size(), MSG_NOSIGNAL);
    int status = 0;
    for (int waited = 0; waited < 5000 && ::waitpid(pid, &status, WNOHANG) == 0; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::kill(pid, SIGKILL) == 0 && ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// Each way of starting the helper that is not the window's own ends it at once with its own
// status; past its capability drop (so with the capability: as root) so does each start that
// is not the protocol. Faults: descriptors not checked, the drop's result ignored, a count
// bound off by one.
TEST(ForwardHelper, RefusesWhatIsNotItsContractWithItsOwnExitStatus)
{
    using namespace ForwardProtocol;
    const std::string helper = KIVORA_FORWARD_HELPER, parent = std::to_string(::getpid());
    const Strings args{helper, ParentOption, parent};
    Bytes start = EncodeStart({1, 0, std::vector<uint32_t>(MaxUsers, Ip4("10.5.5.5"))}),
          minus7 = start;
    minus7[1] = 0xf9, minus7[2] = minus7[3] = minus7[4] = 0xff; // ForwardMore -7
    ASSERT_TRUE(EncodeStart({0, 0, std::vector<uint32_t>(MaxUsers + 1, 1)}).empty());
    CForwardStart decoded;
    ASSERT_TRUE(DecodeStart(start.data(), start.size(), decoded) &&
                decoded.Users.size() == MaxUsers);
    const Bytes cut(start.begin(), start.end() - 1);
    const struct {
        const char* what;
        ExitStatus status;
        Strings args;
        Bytes record;
        int type = SOCK_SEQPACKET, root = 0; // root 2: with capset refused
    } rows[] = {
        {"an extra argument", ExitStatus::BadArguments, {helper, ParentOption, parent, "x"}, start},
        {"no parent", ExitStatus::BadArguments, {helper}, start},
        {"descriptor 3 a stream", ExitStatus::BadLink, args, start, SOCK_STREAM},
        {"another parent", ExitStatus::ParentGone, {helper, ParentOption, "1"}, start},
        {"a ForwardMore of -7", ExitStatus::NotTheProtocol, args, minus7, SOCK_SEQPACKET, 1},
        {"a start cut short", ExitStatus::NotTheProtocol, args, cut, SOCK_SEQPACKET, 1},
        // Malformed too: the drop comes before the Start is read.
        {"capset refused", ExitStatus::PrivilegeKept, args, minus7, SOCK_SEQPACKET, 2},
    };
    for (const auto& row : rows)
        if (!row.root || ::geteuid() == 0) {
            EXPECT_EQ(HelperExit(row.type, row.args, row.record, row.root == 2),
                      static_cast<int>(row.status))
                << row.what;
        }
    if (::geteuid() != 0)
        GTEST_SKIP() << "the rows past the capability drop need root";
    // The window shows why, in a process of its own (the filter stays with it).
    CForwardLink::SetHelperPath(KIVORA_FORWARD_HELPER);
    const pid_t window = ::fork();
    if (window == 0) {
        FailCapset();
        CForwardLink link;
        CUString error;
        ::_exit(!link.Start({}, error) &&
                error.Str() == "Could not give up the capabilities: Operation not permitted");
    }
    int shown = 0;
    EXPECT_EQ(::waitpid(window, &shown, 0), window);
    EXPECT_TRUE(WIFEXITED(shown) && WEXITSTATUS(shown) == 1) << "not the capset failure shown";
}

// Stand-in helpers (shell scripts on descriptor 3) that answer Start, then Stop in their ways:
// Stop gives 1 for a Stopped record only, kills what does not answer within its bound and
// leaves no zombie. Faults: no SIGKILL at Stop, a counters record taken for the answer, a
// record's real length not checked, a failure text passed on with control characters.
TEST(ForwardHelper, StopTakesOnlyAStoppedRecordAndEndsAHungHelper)
{
    using namespace ForwardProtocol;
    TempDir dir;
    const std::string record = "| dd bs=100k count=1 iflag=fullblock status=none >&3\n",
                      readTwo = "dd bs=64 count=2 status=none <&3 >/dev/null\n";
    const std::string stopped = "(printf '\\6'; head -c 44 /dev/zero)" + record;
    // A Stopped record of MaxMessage bytes with the largest counts, one byte too long.
    const std::string tooLong =
        "(printf '\\6'; head -c 36 /dev/zero; printf '\\0\\20\\0\\0'; head -c " +
        std::to_string(MaxUsers * StatsUserSize) + " /dev/zero; printf '\\20\\0\\0\\0'; head -c " +
        std::to_string(CForwardStats::MaxErrorKinds * StatsErrorSize) + " /dev/zero; printf x)" +
        record;
    const struct {
        const char* what;
        std::string script;
        int stopped; // -1: Start fails
    } rows[] = {
        {"answers", readTwo + stopped, 1},
        {"hangs", "exec sleep 30\n", 0},
        {"counters only",
         readTwo + "(printf '\\5'; head -c 44 /dev/zero)" + record + "exec sleep 30\n", 0},
        {"too long", readTwo + tooLong + "exec sleep 30\n", 0},
        {"fails with control characters", "printf '\\4\\0\\0\\0\\0no\\033[2J\\007' >&3\n", -1},
    };
    for (const auto& row : rows) {
        const std::string path = dir.File(std::string("helper-") + std::to_string(&row - rows));
        WriteWholeFile(path, "#!/bin/sh\n" +
                                 std::string(row.stopped < 0 ? "" : "printf '\\3' >&3\n") +
                                 row.script);
        ::chmod(path.c_str(), 0755);
        CForwardLink::SetHelperPath(path.c_str());
        CForwardLink link;
        CUString error;
        CForwardStats stats;
        if (row.stopped < 0) {
            EXPECT_FALSE(link.Start({}, error)) << row.what;
            EXPECT_EQ(error.Str(), "no?[2J?") << row.what;
            continue;
        }
        ASSERT_TRUE(link.Start({}, error)) << row.what << ": " << error.c_str();
        const pid_t pid = link.GetHelperPid();
        EXPECT_EQ(link.Stop(stats), row.stopped) << row.what;
        EXPECT_TRUE(Collected(pid)) << row.what << ": left running or a zombie";
    }
}

// Across a WireGuard VPN: players A, B, C on "the internet" (a bridge, 172.31.0.1-3), tunnel
// addresses 10.66.0.1-3, A's game on its LAN (192.168.50.1, the default route). B's tunnel drops
// every source but A's tunnel address, its sockets a wrong checksum or a missing fragment. Faults:
// the LAN source kept, another user's source, the checksum left for the old source, A's tunnel
// (up after Start) not noticed, a copy too big for the tunnel, a copy with no route counted sent.
TEST(VpnNetns, CopiesLeaveFromTheTunnelAddressWholeAndAutoConfigNamesTunnelAddresses)
{
    for (const std::string& why : {NetNsUnavailableReason(), WireGuardUnavailableReason()})
        if (!why.empty())
            GTEST_SKIP() << why;
    NetNs hub("vhub"), a("va"), b("vb"), c("vc");
    NetNs* players[] = {&a, &b, &c};
    bool ok = hub.Ip("link add br0 type bridge") && hub.Ip("link set br0 up") &&
              AddVethPair(a, "lan0", hub, "alan") && a.Ip("addr add 192.168.50.1/24 dev lan0") &&
              a.Ip("route add default dev lan0") && a.Ip("route add unreachable 10.200.0.0/16");
    for (int i = 0; ok && i < 3; ++i) {
        const std::string n = std::to_string(i + 1);
        ok = AddVethPair(*players[i], "up0", hub, "p" + n) &&
             hub.Ip("link set p" + n + " master br0") &&
             players[i]->Ip("addr add 172.31.0." + n + "/24 dev up0");
    }
    WireGuardNet vpn;
    const std::string built =
        ok ? vpn.Build({&a, &b, &c}, {"172.31.0.1", "172.31.0.2", "172.31.0.3"}) : "";
    ASSERT_TRUE(ok && built.empty() && WireGuardNet::Up(b, 1) && WireGuardNet::Up(c, 2))
        << hub.Error() << a.Error() << b.Error() << built;
    ScopedFd game(UdpSocketIn(a, "0.0.0.0", PlayerPort, true)),
        tunnelB(UdpSocketIn(b, "10.66.0.2", GamePort)),
        publicB(UdpSocketIn(b, "172.31.0.2", GamePort)),
        tunnelC(UdpSocketIn(c, "10.66.0.3", GamePort));

    // B by its public address and through the tunnel, then a user with no route; C unchecked.
    CForwarder forwarder({Ip4("172.31.0.2"), Ip4("10.66.0.2"), Ip4("10.200.0.1")}, 0, 0);
    {
        NetNsScope inA(a);
        CUString error;
        ASSERT_TRUE(forwarder.OpenCapture(error)) << error.c_str();
        ASSERT_TRUE(forwarder.StartThread(CForwarder::ForwardThread, 0));
    }
    ReceivedDatagram copy, publicCopy, answer, extra;
    // Once before the tunnel: the loop has read this machine's addresses by then.
    ASSERT_TRUE(SendDatagram(game.Get(), "255.255.255.255", GamePort, "early"));
    ASSERT_TRUE(ReceiveDatagram(publicB.Get(), publicCopy));
    ASSERT_TRUE(WireGuardNet::Up(a, 0)) << a.Error();
    bool through = false;
    for (int i = 0; i < 50 && !through; ++i) { // the first copies also wait for the handshake
        SendDatagram(game.Get(), "255.255.255.255", GamePort, "query");
        through = ReceiveDatagram(tunnelB.Get(), copy, 100);
    }
    ASSERT_TRUE(through) << "no copy came through the tunnel";
    EXPECT_EQ(copy.source + " " + copy.payload, "10.66.0.1:40000 query");
    ASSERT_TRUE(ReceiveDatagram(publicB.Get(), publicCopy));
    EXPECT_EQ(publicCopy.source, "172.31.0.1:40000") << "the source of another user's route";
    // B's server answers the copy's source: the browser's socket on 0.0.0.0 gets it.
    ASSERT_TRUE(SendDatagram(tunnelB.Get(), "10.66.0.1", PlayerPort, "answer"));
    ASSERT_TRUE(ReceiveDatagram(game.Get(), answer));
    EXPECT_EQ(answer.source + " " + answer.payload, "10.66.0.2:27015 answer");
    while (ReceiveDatagram(tunnelB.Get(), extra, 300)) {
    }
    const std::string big(1472, 'B'); // as much as a 1,500-byte LAN carries; the tunnel's 1,420
    ASSERT_TRUE(SendDatagram(game.Get(), "255.255.255.255", GamePort, big));
    ASSERT_TRUE(ReceiveDatagram(tunnelB.Get(), copy)) << "the big copy did not arrive";
    EXPECT_EQ(copy.payload, big);
    // A game on the tunnel's address (new since Start) is this machine's too.
    ScopedFd onTunnel(UdpSocketIn(a, "10.66.0.1", PlayerPort + 1, true));
    ASSERT_TRUE(SendDatagram(onTunnel.Get(), "255.255.255.255", GamePort, "from the tunnel"));
    EXPECT_TRUE(ReceiveDatagram(tunnelB.Get(), copy) && copy.payload == "from the tunnel");
    EXPECT_FALSE(ReceiveDatagram(tunnelC.Get(), extra, 200)) << "an unchecked player got a copy";
    CForwardStats stats;
    forwarder.GetStats(stats);
    ASSERT_EQ(stats.Users.size(), 3u); // no route: no copy, failed with the cause
    EXPECT_EQ(stats.Users[0].Failed + stats.Users[1].Failed + stats.Users[2].Sent, 0u);
    EXPECT_TRUE(stats.Users[2].Failed > 0 && stats.Users[2].LastError == EHOSTUNREACH);

    // AutoConfig through the tunnel: A hosts (its router's address as External IP), B joins.
    actest::CTestOwner host("Al"), client("Bo", "10.66.0.1");
    host.Settings.ExternalIP = "203.0.113.7";
    CAutoConfig hosting(&host), joining(&client);
    ASSERT_TRUE(a.Run([&] { EXPECT_TRUE(hosting.StartHost()); }) &&
                b.Run([&] { EXPECT_TRUE(joining.ConnectToHost("10.66.0.1")); }));
    const actest::Lines log = host.Log(); // "Others connect to <addresses> on TCP port 8087; ..."
    EXPECT_TRUE(log.size() > 1 && log[1].find(" 10.66.0.1") != std::string::npos) << log.back();
    ASSERT_TRUE(host.WaitFor("10.66.0.2 (Bo) connected successfully."));
    hosting.Sync();
    EXPECT_TRUE(actest::WaitUntil([&] { return !client.Users().empty(); }));
    EXPECT_EQ(client.Users(), actest::Lines{"Al 10.66.0.1 1"});
    EXPECT_EQ(host.Users(), actest::Lines{"Bo 10.66.0.2 1"});
    CCSLock lock(g_usersLock);
    EXPECT_EQ(client.Settings.ExternalIP.Str(), "10.66.0.2");
}

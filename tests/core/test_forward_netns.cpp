// The forwarder end to end in namespaces this test builds, all on one bridge in "hub": the
// "player" (10.77.0.1 and 10.78.0.1) runs it; remote1-3 (10.77.0.2-4, remote3 an unchecked
// user) receive on ordinary UDP sockets, which drop a datagram with a wrong checksum; a
// "stranger" (10.77.0.5) broadcasts into the player's network.

#include "NetNs.h"
#include "ScopedCapabilityDrop.h"
#include "TempDir.h"
#include "base/CUSocket.h"
#include "forward/CForwarder.h"
#include "users/CSettings.h"
#include "users/CUserSocket.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace
{

constexpr int kGamePort = 27015;
constexpr int kPlayerPort = 40000;
constexpr int kWait = 5000; // ms: a generous bound for something that must arrive

struct Datagram {
    std::string payload;
    std::string source;
    int sourcePort = 0;
};

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

sockaddr_in At(const char* address, int port)
{
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &where.sin_addr);
    return where;
}

std::string Dotted(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// A UDP socket bound to `address`:`port`, made inside `ns`.
int UdpSocket(const NetNs& ns, const char* address, int port, bool broadcast = false)
{
    int fd = -1;
    ns.Run([&] {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (broadcast)
            ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in local = At(address, port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    return fd;
}

bool Receive(int fd, Datagram& datagram, int timeoutMs = kWait)
{
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0)
        return false;
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n =
        ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0)
        return false;
    datagram.payload.assign(buffer, static_cast<size_t>(n));
    datagram.source = Dotted(from.sin_addr.s_addr);
    datagram.sourcePort = ntohs(from.sin_port);
    return true;
}

// Every payload that arrives up to and including `marker`.
std::vector<std::string> ReceiveUntil(int fd, const std::string& marker)
{
    std::vector<std::string> payloads;
    Datagram datagram;
    while (Receive(fd, datagram)) {
        payloads.push_back(datagram.payload);
        if (datagram.payload == marker)
            break;
    }
    return payloads;
}

void Send(int fd, const char* address, int port, const std::string& payload)
{
    sockaddr_in to = At(address, port);
    ASSERT_EQ(::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(payload.size()))
        << std::strerror(errno);
}

// The network of the test, built once for all cases.
struct Lan {
    NetNs hub{"hub"}, player{"player"}, remote1{"remote1"}, remote2{"remote2"}, remote3{"remote3"},
        stranger{"stranger"};

    // Empty when built, otherwise what failed.
    std::string Build()
    {
        NetNs* const hosts[] = {&player, &remote1, &remote2, &remote3, &stranger};
        for (NetNs* ns : {&hub, &player, &remote1, &remote2, &remote3, &stranger})
            if (!ns->Ok())
                return ns->Error();
        if (!hub.Ip("link add br0 type bridge") || !hub.Ip("link set br0 up"))
            return hub.Error();
        for (int i = 0; i < 5; ++i) {
            NetNs& ns = *hosts[i];
            const std::string port = "p" + std::to_string(i),
                              address = "10.77.0." + std::to_string(i + 1),
                              mac = "02:77:00:00:00:0" + std::to_string(i + 1);
            // Strict reverse-path filtering would drop the multi-homed player's copies. The
            // copies leave at once and in order only when no neighbour needs resolving first.
            if (!AddVethPair(hub, port, ns, "eth0", mac) ||
                !hub.Ip("link set " + port + " master br0") ||
                !ns.Ip("addr add " + address + "/24 dev eth0") ||
                !ns.SetSysctl("net.ipv4.conf.all.rp_filter", "0") ||
                !ns.SetSysctl("net.ipv4.conf.eth0.rp_filter", "0") ||
                (i > 0 && !player.Ip("neigh replace " + address + " lladdr " + mac +
                                     " dev eth0 nud permanent")))
                return hub.Error() + ns.Error() + player.Error();
        }
        // A broadcast to 255.255.255.255 needs a route out.
        if (!player.Ip("route add default dev eth0") ||
            !player.Ip("addr add 10.78.0.1/24 dev eth0") ||
            !stranger.Ip("route add default dev eth0"))
            return player.Error() + stranger.Error();
        return "";
    }
};

std::unique_ptr<Lan> g_lan;
std::string g_skipReason;

// Watches the player's interface: the order in which copies leave is the order in which the
// forwarder sent them. Only ETH_P_ALL sockets see what leaves.
class Tap
{
public:
    explicit Tap(const NetNs& player)
    {
        player.Run([this] {
            m_fd.Reset(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)));
        });
    }
    bool Ok() const { return m_fd.Get() >= 0; }

    // Destinations of the unicast UDP datagrams from `sourcePort` with `payload` that have
    // left so far.
    std::vector<std::string> CopiesOf(const std::string& payload, int sourcePort)
    {
        std::vector<std::string> destinations;
        uint8_t packet[65536];
        for (;;) {
            sockaddr_ll link{};
            socklen_t length = sizeof link;
            ssize_t n = ::recvfrom(m_fd.Get(), packet, sizeof packet, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&link), &length);
            if (n < 0)
                return destinations;
            if (link.sll_pkttype != PACKET_OUTGOING || link.sll_protocol != htons(ETH_P_IP) ||
                n < 28 || packet[9] != 17)
                continue;
            const size_t header = static_cast<size_t>(packet[0] & 0x0f) * 4;
            uint32_t destination;
            std::memcpy(&destination, packet + 16, 4);
            const int port = (packet[header] << 8) | packet[header + 1];
            const std::string data(reinterpret_cast<char*>(packet) + header + 8,
                                   static_cast<size_t>(n) - header - 8);
            if (destination != INADDR_BROADCAST && port == sourcePort && data == payload)
                destinations.push_back(Dotted(destination));
        }
    }

private:
    Fd m_fd;
};

// Destroys a forwarder on another thread and tells whether that returned within a generous
// bound. A hung stop cannot be recovered from: the program then fails at once instead of
// hanging until ctest's timeout.
bool DestroyReturns(std::unique_ptr<CForwarder>& forwarder)
{
    auto stopped = std::make_shared<std::promise<void>>();
    auto done = stopped->get_future();
    CForwarder* victim = forwarder.release();
    std::thread([victim, stopped] {
        delete victim;
        stopped->set_value();
    }).detach();
    if (done.wait_for(std::chrono::seconds(20)) == std::future_status::ready)
        return true;
    ADD_FAILURE() << "destroying the forwarder did not return: its thread never stopped";
    std::fflush(nullptr);
    g_lan.reset(); // leave no namespaces behind
    std::_Exit(1);
}

class ForwardNetns : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        g_skipReason = NetNsUnavailableReason();
        if (!g_skipReason.empty())
            return;
        RemoveStaleNetNs();
        g_lan = std::make_unique<Lan>();
        if (const std::string error = g_lan->Build(); !error.empty())
            g_skipReason = "could not build the test network: " + error;
    }
    static void TearDownTestSuite() { g_lan.reset(); }

    void SetUp() override
    {
        if (!g_skipReason.empty())
            GTEST_SKIP() << g_skipReason;
        lan = g_lan.get();
        receiver1.Reset(UdpSocket(lan->remote1, "10.77.0.2", kGamePort));
        receiver2.Reset(UdpSocket(lan->remote2, "10.77.0.3", kGamePort));
        receiver3.Reset(UdpSocket(lan->remote3, "10.77.0.4", kGamePort));
        game.Reset(UdpSocket(lan->player, "0.0.0.0", kPlayerPort, true));
        for (const Fd* fd : {&receiver1, &receiver2, &receiver3, &game})
            ASSERT_GE(fd->Get(), 0);
    }

    void TearDown() override
    {
        if (forwarder)
            DestroyReturns(forwarder); // fails the program itself when the thread hangs
    }

    // List order is the order of the main window's rows.
    CUserSocket* AddUser(const char* name, const char* ip, int forward)
    {
        auto* user = new CUserSocket(name, ip);
        user->Forward = forward;
        settings.Users.AddTail(user);
        return user;
    }

    // Users remote2 (checked), remote3 (unchecked), remote1 (checked) with their sockets open
    // and a forwarder running for them in the player.
    void StartForwarding(const char* captureFile = nullptr, int kernelFilter = 1)
    {
        if (settings.Users.IsEmpty()) {
            AddUser("Two", "10.77.0.3", 1);
            AddUser("Three", "10.77.0.4", 0);
            AddUser("One", "10.77.0.2", 1);
        }
        // On no interface: the player's own broadcasts must be known by its interfaces.
        settings.ExternalIP = "198.51.100.7";
        NetNsScope inPlayer(lan->player); // the thread starts in the player's namespace too
        ASSERT_TRUE(inPlayer.Ok());
        settings.OpenUserSockets();
        ASSERT_EQ(settings.Users.GetAt(0)->Forward, 1);
        ASSERT_EQ(settings.Users.GetAt(2)->Forward, 1);
        forwarder = std::make_unique<CForwarder>(&settings);
        CUString error;
        if (captureFile)
            ASSERT_TRUE(forwarder->OpenCaptureFile(captureFile, error)) << error.c_str();
        else
            ASSERT_TRUE(forwarder->OpenCapture(error, kernelFilter)) << error.c_str();
        ASSERT_TRUE(forwarder->StartThread(CForwarder::ForwardThread, 0));
    }

    long CsumErrors(const NetNs& ns)
    {
        long value = -1;
        ns.Run([&value] { value = ReadNetSnmp("Udp", "InCsumErrors"); });
        return value;
    }

    Lan* lan = nullptr;
    Fd receiver1, receiver2, receiver3, game;
    CSettings settings;
    std::unique_ptr<CForwarder> forwarder;
};

} // namespace

TEST_F(ForwardNetns, ReceiversDropADatagramWithAWrongChecksum)
{
    // Proves the receivers would notice a bad copy: it is dropped and counted.
    const long before = CsumErrors(lan->remote1);
    Fd raw;
    lan->player.Run([&raw] { raw.Reset(::socket(AF_INET, SOCK_RAW, IPPROTO_RAW)); });
    ASSERT_GE(raw.Get(), 0);
    // 10.77.0.1:40000 -> 10.77.0.2:27015, "bad", with UDP checksum 0x1234.
    const uint8_t packet[] = {0x45, 0,    0,  31, 0,    1,    0,   0,   64, 17,   0,
                              0,    10,   77, 0,  1,    10,   77,  0,   2,  0x9c, 0x40,
                              0x69, 0x87, 0,  11, 0x12, 0x34, 'b', 'a', 'd'};
    Send(raw.Get(), "10.77.0.2", 0, std::string(packet, packet + sizeof packet));
    Datagram nothing;
    EXPECT_FALSE(Receive(receiver1.Get(), nothing, 500));
    EXPECT_EQ(CsumErrors(lan->remote1), before + 1);
}

TEST_F(ForwardNetns, BroadcastReachesEveryCheckedUserInListOrder)
{
    Tap tap(lan->player);
    ASSERT_TRUE(tap.Ok());
    StartForwarding();
    const long errors1 = CsumErrors(lan->remote1), errors2 = CsumErrors(lan->remote2);
    Fd second(UdpSocket(lan->player, "10.78.0.1", kPlayerPort + 1, true));
    ASSERT_GE(second.Get(), 0);

    // From the player's first address, then from its second one: both are its own.
    const struct {
        int fd;
        const char* source;
        int port;
        std::string payload;
    } broadcasts[] = {{game.Get(), "10.77.0.1", kPlayerPort, "game announcement \x01\x02\x00 !"s},
                      {second.Get(), "10.78.0.1", kPlayerPort + 1, "from the second address"}};
    for (const auto& sent : broadcasts) {
        Send(sent.fd, "255.255.255.255", kGamePort, sent.payload);
        for (int fd : {receiver2.Get(), receiver1.Get()}) {
            Datagram datagram;
            ASSERT_TRUE(Receive(fd, datagram)) << "a checked user got no copy of " << sent.source;
            EXPECT_EQ(datagram.payload, sent.payload);
            EXPECT_EQ(datagram.source, sent.source);
            EXPECT_EQ(datagram.sourcePort, sent.port);
        }
        // Every copy has left by the time the last user has one.
        EXPECT_EQ(tap.CopiesOf(sent.payload, sent.port),
                  (std::vector<std::string>{"10.77.0.3", "10.77.0.2"}));
    }
    EXPECT_EQ(CsumErrors(lan->remote1), errors1);
    EXPECT_EQ(CsumErrors(lan->remote2), errors2);
    // The forwarder is past both: the unchecked user got nothing, the others no second copy.
    Datagram extra;
    EXPECT_FALSE(Receive(receiver3.Get(), extra, 200)) << "an unchecked user got a copy";
    EXPECT_FALSE(Receive(receiver1.Get(), extra, 0) || Receive(receiver2.Get(), extra, 0))
        << "a second copy of " << extra.payload;
    // With no traffic left the stop still returns.
    EXPECT_TRUE(DestroyReturns(forwarder));
}

TEST_F(ForwardNetns, OnlyOwnWholeBroadcastsWithPayloadAreForwarded)
{
    // Hears the stranger's broadcast arrive in the player before the marker goes.
    Fd listener(UdpSocket(lan->player, "0.0.0.0", kGamePort));
    Fd strangerGame(UdpSocket(lan->stranger, "0.0.0.0", kPlayerPort, true));
    ASSERT_GE(listener.Get(), 0);
    ASSERT_GE(strangerGame.Get(), 0);
    int off = IP_PMTUDISC_DONT;
    ::setsockopt(game.Get(), IPPROTO_IP, IP_MTU_DISCOVER, &off, sizeof off);
    // Without the kernel filter every packet of the player, the stranger's too, reaches user
    // space.
    for (int kernelFilter : {1, 0}) {
        StartForwarding(nullptr, kernelFilter);
        Send(game.Get(), "255.255.255.255", kGamePort, "");
        Send(game.Get(), "10.77.0.255", kGamePort, "subnet broadcast");
        Send(game.Get(), "10.77.0.2", kGamePort, "unicast");
        Send(game.Get(), "255.255.255.255", kGamePort, std::string(3000, 'F')); // > MTU 1500
        Send(strangerGame.Get(), "255.255.255.255", kGamePort, "stranger");
        Datagram heard;
        do {
            ASSERT_TRUE(Receive(listener.Get(), heard)) << "the stranger's broadcast never came";
        } while (heard.payload != "stranger");
        Send(game.Get(), "255.255.255.255", kGamePort, "marker");
        // remote1 gets the unicast meant for it, the big one reassembled, the marker, no more.
        EXPECT_EQ(ReceiveUntil(receiver1.Get(), "marker"),
                  (std::vector<std::string>{"unicast", std::string(3000, 'F'), "marker"}))
            << "kernel filter " << kernelFilter;
        EXPECT_EQ(ReceiveUntil(receiver2.Get(), "marker"),
                  (std::vector<std::string>{std::string(3000, 'F'), "marker"}));
        DestroyReturns(forwarder);
    }
}

TEST_F(ForwardNetns, ReplayedCaptureFileIsForwarded)
{
    // The player's outgoing broadcasts as recorded: one from an address that is not the
    // player's, a first fragment whose own bytes look like a whole datagram, and two to forward.
    // Cooked v2 (IPv4, outgoing), 10.77.0.<host>:40000 -> 255.255.255.255:27015, 8 bytes, and
    // the partial checksum that offload leaves.
    auto sll2 = [](uint8_t host, const char* payload, uint8_t flags = 0) {
        std::vector<uint8_t> frame = {
            8,  0,  0, 0,    0,    0,   0,   0,   0,    0,    4,     0,    0,  0,  0,    0,
            0,  0,  0, 0,    0x45, 0,   0,   36,  0,    0,    flags, 0,    64, 17, 0,    0,
            10, 77, 0, host, 255,  255, 255, 255, 0x9c, 0x40, 0x69,  0x87, 0,  16, 0xab, 0};
        for (int i = 0; i < 8; ++i) // (insert() trips a false array-bounds warning of g++ 12)
            frame.push_back(static_cast<uint8_t>(payload[i]));
        return frame;
    };
    TempDir dir;
    const std::string path = dir.File("recorded.pcap");
    pcap_t* dead = pcap_open_dead(DLT_LINUX_SLL2, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (const auto& frame : {sll2(9, "not ours"), sll2(1, "fragment", 0x20), sll2(1, "replayed"),
                              sll2(1, "and last")}) {
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);

    Tap tap(lan->player);
    ASSERT_TRUE(tap.Ok());
    const long errors = CsumErrors(lan->remote1);
    StartForwarding(path.c_str());
    EXPECT_EQ(ReceiveUntil(receiver1.Get(), "and last"),
              (std::vector<std::string>{"replayed", "and last"}));
    EXPECT_EQ(CsumErrors(lan->remote1), errors);
    // A receiver would only hold a fragment for reassembly; the tap sees it leave.
    EXPECT_TRUE(tap.CopiesOf("fragment", kPlayerPort).empty());
}

TEST_F(ForwardNetns, WithoutCapNetRawCaptureFailsReadablyAndUsersAreUnchecked)
{
    CUserSocket* checked = AddUser("Checked", "10.77.0.2", 1);
    CUserSocket* unchecked = AddUser("Unchecked", "10.77.0.3", 1);
    lan->player.Run([this] { settings.OpenUserSockets(); });
    ASSERT_TRUE(checked->IsOpen() && unchecked->IsOpen());
    unchecked->Forward = 0;

    lan->player.Run([this] {
        ScopedCapabilityDrop noRaw(CAP_NET_RAW);
        ASSERT_TRUE(noRaw.Ok());
        forwarder = std::make_unique<CForwarder>(&settings);
        CUString error;
        EXPECT_FALSE(forwarder->OpenCapture(error));
        const std::string text = error.c_str();
        EXPECT_NE(text.find("Could not start capturing packets: "), std::string::npos) << text;
        EXPECT_NE(text.find("ermission"), std::string::npos) << "libpcap's reason: " << text;
        EXPECT_NE(text.find("setcap cap_net_raw+ep"), std::string::npos) << text;
        // A thread started anyway ends at once; the destructor must not wait for ever.
        EXPECT_TRUE(forwarder->StartThread(CForwarder::ForwardThread, 0));
        settings.OpenUserSockets();
    });
    EXPECT_EQ(checked->Forward, 0);
    EXPECT_FALSE(checked->IsOpen());
    EXPECT_NE(std::string(checked->GetLastError().c_str()).find("not permitted"), std::string::npos)
        << checked->GetLastError().c_str();
    EXPECT_EQ(unchecked->Forward, 0);
    EXPECT_FALSE(unchecked->IsOpen()) << "an unchecked user's socket must be closed";

    // With the capability back, checking the user again opens its socket again.
    checked->Forward = 1;
    lan->player.Run([this] { settings.OpenUserSockets(); });
    EXPECT_EQ(checked->Forward, 1);
    EXPECT_TRUE(checked->IsOpen());
}

TEST_F(ForwardNetns, StopRequestedBeforeTheThreadRunsDoesNotHang)
{
    NetNsScope inPlayer(lan->player);
    ASSERT_TRUE(inPlayer.Ok());
    // Rounds 0-49 stop a thread just started; 50 never opened a capture, 51 never started.
    for (int round = 0; round < 52; ++round) {
        forwarder = std::make_unique<CForwarder>(&settings);
        CUString error;
        if (round != 50) {
            ASSERT_TRUE(forwarder->OpenCapture(error)) << error.c_str();
        }
        if (round < 50)
            forwarder->StartThread(CForwarder::ForwardThread, 0);
        ASSERT_TRUE(DestroyReturns(forwarder)) << "round " << round;
    }
}

TEST_F(ForwardNetns, StopsUnderHeavyTraffic)
{
    StartForwarding();
    std::atomic<bool> sending{true};
    std::atomic<long> sent{0};
    std::thread flood([&] {
        const std::string payload(200, 'x');
        sockaddr_in to = At("255.255.255.255", kGamePort);
        while (sending.load())
            if (::sendto(game.Get(), payload.data(), payload.size(), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                ++sent;
    });
    // Let the forwarder work through a good amount before the stop.
    Datagram datagram;
    int received = 0;
    while (received < 1000 && Receive(receiver1.Get(), datagram))
        ++received;
    EXPECT_EQ(received, 1000);
    EXPECT_TRUE(DestroyReturns(forwarder)) << "the forwarder did not stop under traffic";
    sending.store(false);
    flood.join();
    EXPECT_GT(sent.load(), 0);
}

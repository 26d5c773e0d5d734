// The forwarder end to end, inside a private network of namespaces: a "player" runs
// the forwarder, "remote" namespaces receive on ordinary UDP sockets (which drop any
// datagram whose checksum is wrong), and a "stranger" broadcasts into the player's
// network. Everything stays inside namespaces this test creates.
//
//   player 10.77.0.1 (and 10.78.0.1) -----+
//   remote1 10.77.0.2 ---------------------+-- bridge in "hub"
//   remote2 10.77.0.3 ---------------------+
//   remote3 10.77.0.4 (an unchecked user) -+
//   stranger 10.77.0.5 --------------------+

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
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
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
    NetNs hub{"hub"};
    NetNs player{"player"};
    NetNs remote1{"remote1"};
    NetNs remote2{"remote2"};
    NetNs remote3{"remote3"};
    NetNs stranger{"stranger"};
    std::string error;

    bool Build()
    {
        struct Host {
            NetNs* ns;
            const char* port;
            const char* address;
            const char* mac;
        };
        const Host hosts[] = {{&player, "p0", "10.77.0.1", "02:77:00:00:00:01"},
                              {&remote1, "p1", "10.77.0.2", "02:77:00:00:00:02"},
                              {&remote2, "p2", "10.77.0.3", "02:77:00:00:00:03"},
                              {&remote3, "p3", "10.77.0.4", "02:77:00:00:00:04"},
                              {&stranger, "p4", "10.77.0.5", "02:77:00:00:00:05"}};
        for (NetNs* ns : {&hub, &player, &remote1, &remote2, &remote3, &stranger})
            if (!ns->Ok())
                return Fail(*ns);
        if (!hub.Ip("link add br0 type bridge") || !hub.Ip("link set br0 up"))
            return Fail(hub);
        for (const Host& host : hosts) {
            NetNs& ns = *host.ns;
            if (!AddVethPair(hub, host.port, ns, "eth0", host.mac) ||
                !hub.Ip(std::string("link set ") + host.port + " master br0"))
                return Fail(hub);
            // Strict reverse-path filtering would drop the multi-homed player's copies.
            if (!ns.Ip(std::string("addr add ") + host.address + "/24 dev eth0") ||
                !ns.SetSysctl("net.ipv4.conf.all.rp_filter", "0") ||
                !ns.SetSysctl("net.ipv4.conf.eth0.rp_filter", "0"))
                return Fail(ns);
        }
        // A broadcast to 255.255.255.255 needs a route out; the copies go out at once
        // and in order only when no neighbour needs resolving first.
        if (!player.Ip("route add default dev eth0") ||
            !player.Ip("addr add 10.78.0.1/24 dev eth0") ||
            !stranger.Ip("route add default dev eth0"))
            return Fail(player);
        for (const Host& host : hosts)
            if (host.ns != &player && !player.Ip(std::string("neigh replace ") + host.address +
                                                 " lladdr " + host.mac + " dev eth0 nud permanent"))
                return Fail(player);
        return true;
    }

    bool Fail(const NetNs& ns)
    {
        error = ns.Error();
        return false;
    }
};

std::unique_ptr<Lan> g_lan;
std::string g_skipReason;

// Watches the player's interface: the order in which copies leave is the order in
// which the forwarder sent them.
class Tap
{
public:
    explicit Tap(const NetNs& player)
    {
        // Only ETH_P_ALL sockets see what leaves.
        player.Run([this] {
            m_fd.Reset(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)));
        });
    }
    bool Ok() const { return m_fd.Get() >= 0; }

    // Destinations of the outgoing UDP datagrams from `sourcePort` with `payload`,
    // leaving by unicast, that have been sent so far.
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

// Users as the main window would hold them: list order is the order of the rows.
struct Users {
    CSettings settings;

    CUserSocket* Add(const char* name, const char* ip, int forward)
    {
        auto* user = new CUserSocket(name, ip);
        user->Forward = forward;
        settings.Users.AddTail(user);
        return user;
    }
};

// Destroys a forwarder on another thread and tells whether that returned within a
// generous bound. A stop that hangs cannot be recovered from, so the test program
// then ends with a failure instead of hanging until ctest's timeout.
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
        if (!g_lan->Build())
            g_skipReason = "could not build the test network: " + g_lan->error;
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
        ASSERT_GE(receiver1.Get(), 0);
        ASSERT_GE(receiver2.Get(), 0);
        ASSERT_GE(receiver3.Get(), 0);
        ASSERT_GE(game.Get(), 0);
    }

    // Users remote2 (checked), remote3 (unchecked), remote1 (checked), in that order,
    // with their sockets opened and a forwarder running for them in the player.
    void StartForwarding(const char* captureFile = nullptr, int kernelFilter = 1)
    {
        users.Add("Two", "10.77.0.3", 1);
        users.Add("Three", "10.77.0.4", 0);
        users.Add("One", "10.77.0.2", 1);
        // An external address that is on no interface: the player's own broadcasts
        // must be accepted through its interface addresses.
        users.settings.ExternalIP = "198.51.100.7";
        NetNsScope inPlayer(lan->player);
        ASSERT_TRUE(inPlayer.Ok());
        users.settings.OpenUserSockets();
        ASSERT_EQ(users.settings.Users.GetAt(0)->Forward, 1);
        ASSERT_EQ(users.settings.Users.GetAt(2)->Forward, 1);
        forwarder = std::make_unique<CForwarder>(&users.settings);
        CUString error;
        if (captureFile)
            ASSERT_TRUE(forwarder->OpenCaptureFile(captureFile, error)) << error.c_str();
        else
            ASSERT_TRUE(forwarder->OpenCapture(error, kernelFilter)) << error.c_str();
        // The thread starts in this thread's namespace, the player's.
        ASSERT_TRUE(forwarder->StartThread(CForwarder::ForwardThread, 0));
    }

    void TearDown() override
    {
        if (forwarder) {
            EXPECT_TRUE(DestroyReturns(forwarder)) << "the forwarder did not stop";
        }
    }

    // Sends everything the forwarder must ignore, then a marker that it forwards, and
    // checks that the receivers got nothing else.
    void SendWhatMustNotBeForwarded();

    long CsumErrors(const NetNs& ns)
    {
        long value = -1;
        ns.Run([&value] { value = ReadNetSnmp("Udp", "InCsumErrors"); });
        return value;
    }

    Lan* lan = nullptr;
    Fd receiver1, receiver2, receiver3, game;
    Users users;
    std::unique_ptr<CForwarder> forwarder;
};

} // namespace

TEST_F(ForwardNetns, ReceiversDropADatagramWithAWrongChecksum)
{
    // Proves the receivers would notice a bad copy: a raw datagram with a broken UDP
    // checksum is dropped and counted.
    const long before = CsumErrors(lan->remote1);
    Fd raw;
    lan->player.Run([&raw] { raw.Reset(::socket(AF_INET, SOCK_RAW, IPPROTO_RAW)); });
    ASSERT_GE(raw.Get(), 0);
    uint8_t packet[28 + 3] = {0x45, 0, 0, sizeof packet, 0, 1, 0, 0, 64, 17, 0, 0};
    inet_pton(AF_INET, "10.77.0.1", packet + 12);
    inet_pton(AF_INET, "10.77.0.2", packet + 16);
    const uint16_t ports[2] = {htons(kPlayerPort), htons(kGamePort)};
    std::memcpy(packet + 20, ports, 4);
    packet[25] = 8 + 3;
    packet[26] = 0x12; // certainly wrong
    packet[27] = 0x34;
    std::memcpy(packet + 28, "bad", 3);
    sockaddr_in to = At("10.77.0.2", 0);
    ASSERT_EQ(
        ::sendto(raw.Get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(sizeof packet));
    Datagram nothing;
    EXPECT_FALSE(Receive(receiver1.Get(), nothing, 500));
    EXPECT_EQ(CsumErrors(lan->remote1), before + 1);
}

TEST_F(ForwardNetns, BroadcastReachesEveryCheckedUserInListOrder)
{
    Tap tap(lan->player);
    ASSERT_TRUE(tap.Ok());
    StartForwarding();
    const long errors1 = CsumErrors(lan->remote1);
    const long errors2 = CsumErrors(lan->remote2);

    const std::string payload = "game announcement \x01\x02\x00 with bytes";
    Send(game.Get(), "255.255.255.255", kGamePort, payload);

    for (int fd : {receiver2.Get(), receiver1.Get()}) {
        Datagram datagram;
        ASSERT_TRUE(Receive(fd, datagram)) << "a checked user got no copy";
        EXPECT_EQ(datagram.payload, payload);
        EXPECT_EQ(datagram.source, "10.77.0.1");
        EXPECT_EQ(datagram.sourcePort, kPlayerPort);
    }
    // Every copy has left by the time the last user has one.
    EXPECT_EQ(tap.CopiesOf(payload, kPlayerPort),
              (std::vector<std::string>{"10.77.0.3", "10.77.0.2"}));
    EXPECT_EQ(CsumErrors(lan->remote1), errors1);
    EXPECT_EQ(CsumErrors(lan->remote2), errors2);

    // The unchecked user: a marker sent after the announcement reaches the others
    // and proves the forwarder is past it.
    Send(game.Get(), "255.255.255.255", kGamePort, "marker");
    EXPECT_EQ(ReceiveUntil(receiver1.Get(), "marker"), (std::vector<std::string>{"marker"}));
    Datagram nothing;
    EXPECT_FALSE(Receive(receiver3.Get(), nothing, 200)) << "an unchecked user got a copy";
}

TEST_F(ForwardNetns, BroadcastLeavingByAnotherAddressOfThePlayerIsForwarded)
{
    StartForwarding();
    Fd second(UdpSocket(lan->player, "10.78.0.1", kPlayerPort + 1, true));
    ASSERT_GE(second.Get(), 0);
    Send(second.Get(), "255.255.255.255", kGamePort, "from the second address");
    Datagram datagram;
    ASSERT_TRUE(Receive(receiver1.Get(), datagram));
    EXPECT_EQ(datagram.payload, "from the second address");
    EXPECT_EQ(datagram.source, "10.78.0.1");
    EXPECT_EQ(datagram.sourcePort, kPlayerPort + 1);
}

TEST_F(ForwardNetns, OnlyOwnWholeBroadcastsWithPayloadAreForwarded)
{
    StartForwarding();
    SendWhatMustNotBeForwarded();
}

TEST_F(ForwardNetns, WithoutTheKernelFilterTheSameIsForwarded)
{
    // Every packet of the player now reaches user space, the stranger's too.
    StartForwarding(nullptr, 0);
    SendWhatMustNotBeForwarded();
}

void ForwardNetns::SendWhatMustNotBeForwarded()
{
    // Sees the stranger's broadcast arrive in the player before the marker is sent.
    Fd listener(UdpSocket(lan->player, "0.0.0.0", kGamePort));
    Fd strangerGame(UdpSocket(lan->stranger, "0.0.0.0", kPlayerPort, true));
    ASSERT_GE(listener.Get(), 0);
    ASSERT_GE(strangerGame.Get(), 0);

    Send(game.Get(), "255.255.255.255", kGamePort, "");
    Send(game.Get(), "10.77.0.255", kGamePort, "subnet broadcast");
    Send(game.Get(), "10.77.0.2", kGamePort, "unicast");
    int off = IP_PMTUDISC_DONT;
    ::setsockopt(game.Get(), IPPROTO_IP, IP_MTU_DISCOVER, &off, sizeof off);
    Send(game.Get(), "255.255.255.255", kGamePort, std::string(3000, 'F')); // > MTU 1500
    Send(strangerGame.Get(), "255.255.255.255", kGamePort, "stranger");
    Datagram heard;
    do {
        ASSERT_TRUE(Receive(listener.Get(), heard)) << "the stranger's broadcast never came";
    } while (heard.payload != "stranger");
    Send(game.Get(), "255.255.255.255", kGamePort, "marker");

    // remote1 gets the unicast meant for it, then the marker's copy, and nothing else.
    EXPECT_EQ(ReceiveUntil(receiver1.Get(), "marker"),
              (std::vector<std::string>{"unicast", "marker"}));
    EXPECT_EQ(ReceiveUntil(receiver2.Get(), "marker"), (std::vector<std::string>{"marker"}));
}

TEST_F(ForwardNetns, ReplayedCaptureFileIsForwarded)
{
    // A recording of the player's outgoing broadcasts: one from an address that is not
    // the player's, and a first fragment whose own bytes look like a whole datagram.
    auto sll2 = [](const char* source, const std::string& payload, bool moreFragments = false) {
        std::vector<uint8_t> frame(20, 0);
        frame[0] = 0x08; // IPv4
        frame[10] = 4;   // outgoing
        std::vector<uint8_t> ip(28, 0);
        ip[0] = 0x45;
        ip[3] = static_cast<uint8_t>(28 + payload.size());
        ip[6] = moreFragments ? 0x20 : 0x00;
        ip[8] = 64;
        ip[9] = 17;
        inet_pton(AF_INET, source, &ip[12]);
        std::memset(&ip[16], 0xff, 4);
        ip[20] = kPlayerPort >> 8;
        ip[21] = kPlayerPort & 0xff;
        ip[22] = kGamePort >> 8;
        ip[23] = kGamePort & 0xff;
        ip[25] = static_cast<uint8_t>(8 + payload.size());
        ip[26] = 0xab; // a partial checksum, as offload leaves it
        ip.insert(ip.end(), payload.begin(), payload.end());
        frame.insert(frame.end(), ip.begin(), ip.end());
        return frame;
    };
    TempDir dir;
    const std::string path = dir.File("recorded.pcap");
    pcap_t* dead = pcap_open_dead(DLT_LINUX_SLL2, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (const auto& frame : {sll2("10.77.0.9", "not ours"), sll2("10.77.0.1", "fragment", true),
                              sll2("10.77.0.1", "replayed"), sll2("10.77.0.1", "marker")}) {
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
    EXPECT_EQ(ReceiveUntil(receiver1.Get(), "marker"),
              (std::vector<std::string>{"replayed", "marker"}));
    EXPECT_EQ(CsumErrors(lan->remote1), errors);
    // A receiver would only hold a fragment for reassembly; the tap sees it leave.
    EXPECT_TRUE(tap.CopiesOf("fragment", kPlayerPort).empty());
}

TEST_F(ForwardNetns, UserWhoseRawSocketCannotOpenIsUnchecked)
{
    CUserSocket* checked = users.Add("Checked", "10.77.0.2", 1);
    CUserSocket* unchecked = users.Add("Unchecked", "10.77.0.3", 1);
    lan->player.Run([this] { users.settings.OpenUserSockets(); });
    ASSERT_TRUE(checked->IsOpen());
    ASSERT_TRUE(unchecked->IsOpen());
    unchecked->Forward = 0;

    lan->player.Run([this] {
        ScopedCapabilityDrop noRaw(CAP_NET_RAW);
        ASSERT_TRUE(noRaw.Ok());
        users.settings.OpenUserSockets();
    });
    EXPECT_EQ(checked->Forward, 0);
    EXPECT_FALSE(checked->IsOpen());
    EXPECT_NE(std::string(checked->GetLastError().c_str()).find("not permitted"), std::string::npos)
        << checked->GetLastError().c_str();
    EXPECT_EQ(unchecked->Forward, 0);
    EXPECT_FALSE(unchecked->IsOpen()) << "an unchecked user's socket must be closed";

    // With the capability back, checking the user again opens its socket again.
    checked->Forward = 1;
    lan->player.Run([this] { users.settings.OpenUserSockets(); });
    EXPECT_EQ(checked->Forward, 1);
    EXPECT_TRUE(checked->IsOpen());
}

TEST_F(ForwardNetns, CaptureWithoutCapNetRawFailsWithAReadableError)
{
    lan->player.Run([this] {
        ScopedCapabilityDrop noRaw(CAP_NET_RAW);
        ASSERT_TRUE(noRaw.Ok());
        forwarder = std::make_unique<CForwarder>(&users.settings);
        CUString error;
        EXPECT_FALSE(forwarder->OpenCapture(error));
        const std::string text = error.c_str();
        EXPECT_NE(text.find("Could not start capturing packets: "), std::string::npos) << text;
        EXPECT_NE(text.find("ermission"), std::string::npos) << "libpcap's reason: " << text;
        EXPECT_NE(text.find("setcap cap_net_raw+ep"), std::string::npos) << text;
        // A thread started anyway ends at once; the destructor must not wait for ever.
        EXPECT_TRUE(forwarder->StartThread(CForwarder::ForwardThread, 0));
    });
}

TEST_F(ForwardNetns, StopsWithoutAnyTraffic)
{
    StartForwarding();
    // One copy proves the loop runs; afterwards it waits for a packet that never comes.
    Send(game.Get(), "255.255.255.255", kGamePort, "last before the stop");
    Datagram datagram;
    ASSERT_TRUE(Receive(receiver1.Get(), datagram));
    EXPECT_TRUE(DestroyReturns(forwarder));
}

TEST_F(ForwardNetns, StopRequestedBeforeTheThreadRunsDoesNotHang)
{
    NetNsScope inPlayer(lan->player);
    ASSERT_TRUE(inPlayer.Ok());
    for (int i = 0; i < 50; ++i) {
        forwarder = std::make_unique<CForwarder>(&users.settings);
        CUString error;
        ASSERT_TRUE(forwarder->OpenCapture(error)) << error.c_str();
        forwarder->StartThread(CForwarder::ForwardThread, 0);
        ASSERT_TRUE(DestroyReturns(forwarder)) << "round " << i;
    }
    // Never started at all, with and without a capture.
    forwarder = std::make_unique<CForwarder>(&users.settings);
    ASSERT_TRUE(DestroyReturns(forwarder));
    forwarder = std::make_unique<CForwarder>(&users.settings);
    CUString error;
    ASSERT_TRUE(forwarder->OpenCapture(error));
    ASSERT_TRUE(DestroyReturns(forwarder));
}

TEST_F(ForwardNetns, StopsUnderHeavyTraffic)
{
    StartForwarding();
    std::atomic<bool> sending{true};
    std::atomic<long> sent{0};
    std::thread flood([&] {
        const std::string payload(200, 'x');
        sockaddr_in to = At("255.255.255.255", kGamePort);
        while (sending.load()) {
            if (::sendto(game.Get(), payload.data(), payload.size(), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                ++sent;
        }
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

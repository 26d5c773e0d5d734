// The forwarder in namespaces behind a router, so that the player's subnet is not the users':
// player 10.50.1.1/24 - router - remote 10.50.2.1-3/24, where users One and Three (checked)
// and Two (unchecked) have real UDP sockets on each game port. Receivers drop a copy with a
// wrong checksum, and the router drops one whose TTL is 1.

#include "NetNs.h"
#include "PacketBytes.h"
#include "base/CUSocket.h"
#include "forward/CForwarder.h"
#include "users/CSettings.h"
#include "users/CUserSocket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <memory>

namespace
{

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A UDP socket made in `ns` and bound to `address`:`port`, sending as games do: broadcasts
// allowed, big datagrams fragmented here, multicast with TTL 1.
int Socket(const NetNs& ns, const char* address, uint16_t port)
{
    int fd = -1;
    ns.Run([&] {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1, fragment = IP_PMTUDISC_DONT, ttl = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &fragment, sizeof fragment);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        const sockaddr_in at{AF_INET, htons(port), {Ip4(address)}, {}};
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            ::close(std::exchange(fd, -1));
    });
    return fd;
}

// The next datagram's payload, or "" when none comes within `ms`.
std::string Receive(int fd, int ms = 5000)
{
    pollfd ready{fd, POLLIN, 0};
    char buffer[65536];
    const ssize_t n = ::poll(&ready, 1, ms) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
    return std::string(buffer, n > 0 ? size_t(n) : 0);
}

void Send(int fd, const char* address, uint16_t port, const std::string& payload)
{
    const sockaddr_in to{AF_INET, htons(port), {Ip4(address)}, {}};
    EXPECT_EQ(::sendto(fd, payload.data(), payload.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              ssize_t(payload.size()));
}

} // namespace

TEST(ForwardMoreNetns, SubnetBroadcastsAndGamesGroupsReachUsersOnlyWithTheSwitch)
{
    if (const std::string why = NetNsUnavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    RemoveStaleNetNs();
    NetNs player("mplayer"), router("mrouter"), remote("mremote");
    ASSERT_TRUE(AddVethPair(player, "eth0", router, "r0") &&
                AddVethPair(remote, "eth0", router, "r1") &&
                player.Ip("addr add 10.50.1.1/24 brd + dev eth0") &&
                router.Ip("addr add 10.50.1.254/24 dev r0") &&
                router.Ip("addr add 10.50.2.254/24 dev r1") &&
                router.SetSysctl("net.ipv4.ip_forward", "1") &&
                player.Ip("route add default via 10.50.1.254") &&
                remote.Ip("addr add 10.50.2.1/24 dev eth0") &&
                remote.Ip("addr add 10.50.2.2/24 dev eth0") &&
                remote.Ip("addr add 10.50.2.3/24 dev eth0") &&
                remote.Ip("route add default via 10.50.2.254"))
        << player.Error() << router.Error() << remote.Error();
    const char* users[] = {"10.50.2.1", "10.50.2.2", "10.50.2.3"};
    const uint16_t ports[] = {4445, 5353, 1900}; // a game's, mDNS, SSDP
    Fd game{Socket(player, "0.0.0.0", 40000)}, receivers[3][3];
    for (int u = 0; u < 3; ++u)
        for (int p = 0; p < 3; ++p)
            ASSERT_GE(receivers[u][p].fd = Socket(remote, users[u], ports[p]), 0);
    CSettings settings;
    for (const char* ip : users)
        settings.Users.AddTail(new CUserSocket(ip, ip));
    settings.Users.GetAt(1)->Forward = 0;

    const std::string big(3000, 'F'); // fragmented: the receivers reassemble it
    for (int more : {0, 1}) {
        settings.ForwardMore = more;
        auto forwarder = std::make_unique<CForwarder>(&settings);
        {
            NetNsScope inPlayer(player); // the thread starts in the player's namespace too
            settings.OpenUserSockets();
            CUString error;
            ASSERT_TRUE(forwarder->OpenCapture(error)) << error.c_str();
            ASSERT_TRUE(forwarder->StartThread(CForwarder::ForwardThread, 0));
        }
        Send(game.fd, "255.255.255.255", 4445, big);
        Send(game.fd, "10.50.1.255", 4445, "subnet");
        Send(game.fd, "224.0.2.60", 4445, "group"); // with TTL 1
        Send(game.fd, "224.0.0.251", 5353, "mdns");
        Send(game.fd, "239.255.255.250", 1900, "ssdp");
        Send(game.fd, "255.255.255.255", 4445, "marker");
        const std::vector<std::string> expected =
            more ? std::vector<std::string>{"big", "subnet", "group", "marker"}
                 : std::vector<std::string>{"big", "marker"};
        for (int u : {0, 2}) {
            std::vector<std::string> got;
            while (got.empty() || (got.back() != "marker" && !got.back().empty())) {
                const std::string payload = Receive(receivers[u][0].fd);
                got.push_back(payload == big ? "big" : payload);
            }
            EXPECT_EQ(got, expected) << users[u] << ", ForwardMore=" << more;
            // Copies to one user leave in order: had these come, they would be here by now.
            EXPECT_EQ(Receive(receivers[u][1].fd, 0) + Receive(receivers[u][2].fd, 0), "");
        }
        EXPECT_EQ(Receive(receivers[1][0].fd, 300), "") << "the unchecked user got a copy";
    }
}

TEST(OwnAddress, TheDefaultRouteWithTheLowestMetricWins)
{
    if (const std::string why = NetNsUnavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    NetNs host("rhost"), peer("rpeer");
    // Listed first and on the first interface, the worse route is what a careless reading
    // of the routing table or of the interfaces would take.
    ASSERT_TRUE(AddVethPair(host, "a0", peer, "b0") && AddVethPair(host, "a1", peer, "b1") &&
                host.Ip("addr add 10.60.1.1/24 dev a0") &&
                host.Ip("addr add 10.60.2.1/24 dev a1") &&
                host.Ip("route add default via 10.60.1.254 metric 200") &&
                host.Ip("route add default via 10.60.2.254 metric 100"))
        << host.Error() << peer.Error();
    sockaddr_in own{};
    host.Run([&own] { CUSocket::GetSockAddr(own, nullptr, 0); });
    EXPECT_EQ(own.sin_addr.s_addr, Ip4("10.60.2.1"));
}

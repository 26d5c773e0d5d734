// The forwarder in namespaces behind a router, so that the player's subnet is not the users':
// player 10.50.1.1/24 - router - remote 10.50.2.1-3/24, where users One and Three (checked) and
// Two (unchecked) have real UDP sockets on each port. Receivers drop a copy with a wrong
// checksum or missing fragments, and the router one whose TTL is 1. The remote has two default
// routes of different metrics.
#include "NetNs.h"
#include "PacketBytes.h"
#include "base/CUSocket.h"
#include "forward/CForwarder.h"
#include "users/CSettings.h"
#include "users/CUserSocket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

namespace
{

// Sockets made in a namespace, bound, sending as games do (broadcast allowed, big datagrams
// fragmented, multicast with TTL 1); closed with the set.
struct Sockets {
    std::vector<int> fds;
    ~Sockets()
    {
        for (int fd : fds)
            ::close(fd);
    }
    int Add(const NetNs& ns, const char* address, uint16_t port)
    {
        ns.Run([&] {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1, ttl = 1;
            const int fragment = IP_PMTUDISC_DONT;
            ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
            ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &fragment, sizeof fragment);
            ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
            const sockaddr_in at{AF_INET, htons(port), {Ip4(address)}, {}};
            fds.push_back(fd);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
                fds.back() = -1;
        });
        return fds.back();
    }
};

// The next datagram's payload, or "" when none comes within `ms`.
std::string Receive(int fd, int ms = 5000)
{
    pollfd ready{fd, POLLIN, 0};
    char buffer[65536];
    const ssize_t n = ::poll(&ready, 1, ms) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
    return std::string(buffer, n > 0 ? size_t(n) : 0);
}

std::string Named(const std::string& payload, const std::string& big)
{
    return payload == big ? "big" : payload;
}

} // namespace

TEST(ForwardMoreNetns, SubnetBroadcastsAndGamesGroupsReachUsersOnlyWithTheSwitch)
{
    if (const std::string why = NetNsUnavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    RemoveStaleNetNs();
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
    Sockets sockets;
    const int game = sockets.Add(player, "0.0.0.0", 40000);
    CSettings settings;
    for (const char* ip : users) {
        settings.Users.AddTail(new CUserSocket(ip, ip));
        for (uint16_t port : {4445, 5353, 1900}) // a game's, mDNS's and SSDP's
            ASSERT_GE(sockets.Add(remote, ip, port), 0);
    }
    settings.Users.GetAt(1)->Forward = 0;
    const std::string big(3000, 'F'); // fragmented: the receivers reassemble it
    const std::tuple<const char*, uint16_t, std::string> sent[] = {
        {"255.255.255.255", 4445, big},    {"10.50.1.255", 4445, "subnet"},
        {"224.0.2.60", 4445, "group"},     {"224.0.0.251", 5353, "mdns"},
        {"239.255.255.250", 1900, "ssdp"}, {"255.255.255.255", 4445, "marker"}};
    for (int more : {0, 1}) {
        settings.ForwardMore = more;
        CForwarder forwarder(&settings);
        {
            NetNsScope inPlayer(player); // the thread starts in the player's namespace too
            settings.OpenUserSockets();
            CUString error;
            ASSERT_TRUE(forwarder.OpenCapture(error)) << error.c_str();
            ASSERT_TRUE(forwarder.StartThread(CForwarder::ForwardThread, 0));
        }
        for (const auto& [to, port, payload] : sent) {
            const sockaddr_in at{AF_INET, htons(port), {Ip4(to)}, {}};
            ::sendto(game, payload.data(), payload.size(), 0,
                     reinterpret_cast<const sockaddr*>(&at), sizeof at);
        }
        const std::vector<std::string> expected =
            more ? std::vector<std::string>{"big", "subnet", "group", "marker"}
                 : std::vector<std::string>{"big", "marker"};
        for (int u : {0, 2}) {
            std::vector<std::string> got;
            while (got.empty() || (got.back() != "marker" && !got.back().empty()))
                got.push_back(Named(Receive(sockets.fds[1 + 3 * u]), big));
            EXPECT_EQ(got, expected) << users[u] << ", ForwardMore=" << more;
            // Copies to one user leave in order: had these come, they would be here by now.
            EXPECT_EQ(Receive(sockets.fds[2 + 3 * u], 0) + Receive(sockets.fds[3 + 3 * u], 0), "");
        }
        EXPECT_EQ(Receive(sockets.fds[4], 300), "") << "the unchecked user got a copy";
    }
}

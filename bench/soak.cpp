// The soak run: forwarding and AutoConfig together for a long time, inside network
// namespaces of its own (needs root), run by scripts/soak.
//
// A "player" namespace runs the forwarder and a game that broadcasts at a steady rate;
// a "remote" namespace holds the users' addresses and counts every copy. The forwarder
// is stopped and started again every few seconds with another set of checked users.
// Meanwhile, in an "autoconfig" namespace, 50 clients join a host, are synced and leave,
// over and over. At the end it reports packets sent against received per user, the
// resident memory at the start and the end, and the threads and descriptors left.
//
//   kivora_soak [SECONDS]    (600 when not given)

#include "NetNs.h"
#include "autoconfig/CAutoConfig.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "base/CLogSink.h"
#include "base/CUSocket.h"
#include "forward/CForwardLink.h"
#include "forward/CForwarder.h"
#include "users/CSettings.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int UserCount = 5;
constexpr int BroadcastRate = 200;  // broadcasts per second
constexpr int RunSeconds = 5;       // one forwarder run
constexpr int MaxRuns = 20000;      // counters are allocated up front
constexpr int ClientsPerCycle = 50; // AutoConfig clients per cycle
constexpr int GamePort = 27015;
constexpr int GameSourcePort = 40000;
constexpr size_t PayloadBytes = 120;
const char PlayerIP[] = "10.79.0.1";
const char RemoteMac[] = "02:79:00:00:00:02";

std::string UserIP(int i)
{
    return "10.79.0." + std::to_string(i + 2);
}

long StatusField(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line[length] == ':')
            return std::atol(line.c_str() + length + 1);
    return -1;
}

long RssKb()
{
    return StatusField("VmRSS");
}

long Threads()
{
    return StatusField("Threads");
}

long OpenDescriptors()
{
    long count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count - 1; // the one opendir holds
}

// The payload of broadcast `seq` of run `run`: both numbers, then a pattern of them,
// so that a copy with a changed byte is noticed.
void MakePayload(char* out, int run, int seq)
{
    std::snprintf(out, PayloadBytes, "%08d %08d ", run, seq);
    for (size_t i = 18; i < PayloadBytes; ++i)
        out[i] = static_cast<char>('a' + (run * 7 + seq * 13 + static_cast<int>(i)) % 26);
}

int UdpSocket(const char* address, int port, bool broadcast)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (broadcast)
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    int buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Network {
    NetNs player{"splayer"};
    NetNs remote{"sremote"};
    NetNs autoconfig{"sauto"};
    bool ok = false;

    Network()
    {
        if (!player.Ok() || !remote.Ok() || !autoconfig.Ok() ||
            !AddVethPair(player, "p0", remote, "r0", RemoteMac))
            return;
        bool good = player.Ip(std::string("addr add ") + PlayerIP + "/24 dev p0") &&
                    player.Ip("route add default dev p0") && autoconfig.Ip("link set lo up") &&
                    remote.SetSysctl("net.ipv4.conf.all.rp_filter", "0");
        // No neighbour resolution: its queue would drop the first copies of a run.
        for (int i = 0; i < UserCount && good; ++i)
            good = remote.Ip("addr add " + UserIP(i) + "/24 dev r0") &&
                   player.Ip("neigh replace " + UserIP(i) + " lladdr " + RemoteMac +
                             " dev p0 nud permanent");
        ok = good;
    }
};

// Counts every copy that reaches a user, per run, on a thread of its own.
class Receivers
{
public:
    explicit Receivers(const NetNs& remote) : m_counts(MaxRuns)
    {
        remote.Run([this] {
            for (int i = 0; i < UserCount; ++i)
                m_fds[i] = UdpSocket(UserIP(i).c_str(), GamePort, false);
        });
        for (int fd : m_fds)
            m_ok = m_ok && fd >= 0;
        m_thread = std::thread([this] { Loop(); });
    }
    ~Receivers()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    bool Ok() const { return m_ok; }
    long Count(int run, int user) const { return m_counts[run][user].load(); }
    long Corrupt() const { return m_corrupt.load(); }

private:
    void Loop()
    {
        pollfd ready[UserCount];
        char data[2048];
        char expected[PayloadBytes];
        while (!m_stop) {
            for (int i = 0; i < UserCount; ++i)
                ready[i] = {m_fds[i], POLLIN, 0};
            if (::poll(ready, UserCount, 100) <= 0)
                continue;
            for (int i = 0; i < UserCount; ++i) {
                if (!(ready[i].revents & POLLIN))
                    continue;
                ssize_t n;
                while ((n = ::recv(m_fds[i], data, sizeof data, MSG_DONTWAIT)) >= 0) {
                    const int run = std::atoi(data);
                    const int seq = std::atoi(data + 9);
                    MakePayload(expected, run, seq);
                    if (n != static_cast<ssize_t>(PayloadBytes) || run < 0 || run >= MaxRuns ||
                        std::memcmp(data, expected, PayloadBytes) != 0) {
                        ++m_corrupt;
                        continue;
                    }
                    ++m_counts[run][i];
                }
            }
        }
    }

    std::array<int, UserCount> m_fds{-1, -1, -1, -1, -1};
    bool m_ok = true;
    std::vector<std::array<std::atomic<long>, UserCount>> m_counts;
    std::atomic<long> m_corrupt{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// An AutoConfig window stand-in that only counts the lines that matter here, so that
// the soak's own bookkeeping does not grow.
class CCountingOwner : public CAutoConfigOwner, public CLogSink
{
public:
    CCountingOwner(const char* name)
    {
        Settings.AutoName = name;
        Settings.SetPath("/nonexistent/KIVORA.cfg");
    }
    CLogSink& GetLog() override { return *this; }
    CSettings* GetSettings() override { return &Settings; }
    void UpdateButton() override {}

    CSettings Settings;
    std::atomic<long> Joined{0}, Left{0}, Synced{0}, Warnings{0};

protected:
    void AddLine(const CUString& line) override
    {
        const std::string text = line.Str();
        auto endsWith = [&](const char* end) {
            const size_t n = std::strlen(end);
            return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
        };
        if (endsWith("connected successfully."))
            ++Joined;
        else if (endsWith(") disconnected."))
            ++Left;
        else if (text.rfind("Received info for", 0) == 0)
            ++Synced;
        else if (text.rfind("WARNING", 0) == 0 || text.rfind("Error", 0) == 0)
            ++Warnings;
    }
};

bool WaitFor(const std::function<bool()>& done, int seconds)
{
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// 50 clients join, are synced and leave, until told to stop.
struct AutoConfigLoop {
    std::atomic<bool> stop{false};
    std::atomic<long> cycles{0}, failures{0};
    std::string firstFailure;

    void Fail(const std::string& what)
    {
        if (failures++ == 0)
            firstFailure = what;
    }

    void Run(const NetNs& ns)
    {
        NetNsScope inside(ns); // the sessions' threads start here and stay inside
        if (!inside.Ok())
            return Fail("could not enter the AutoConfig namespace");
        CCountingOwner hostOwner("Host");
        hostOwner.Settings.ExternalIP = "10.80.0.1";
        CAutoConfig host(&hostOwner);
        if (!host.StartHost())
            return Fail("the host did not start");
        std::vector<std::unique_ptr<CCountingOwner>> owners;
        for (int i = 0; i < ClientsPerCycle; ++i)
            owners.push_back(
                std::make_unique<CCountingOwner>(("client" + std::to_string(i)).c_str()));
        std::vector<std::unique_ptr<CAutoConfig>> clients(ClientsPerCycle);
        while (!stop) {
            const long joined = hostOwner.Joined, left = hostOwner.Left;
            for (int i = 0; i < ClientsPerCycle; ++i) {
                clients[i] = std::make_unique<CAutoConfig>(owners[i].get());
                if (!clients[i]->ConnectToHost("127.0.0.1"))
                    Fail("client " + std::to_string(i) + " could not connect");
                // The host accepts every poll; its listen backlog is small.
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
            if (!WaitFor([&] { return hostOwner.Joined >= joined + ClientsPerCycle; }, 10))
                Fail("not every client joined");
            std::vector<long> synced;
            for (auto& owner : owners)
                synced.push_back(owner->Synced);
            host.Sync();
            if (!WaitFor(
                    [&] {
                        for (int i = 0; i < ClientsPerCycle; ++i)
                            if (owners[i]->Synced <= synced[i])
                                return false;
                        return true;
                    },
                    10))
                Fail("not every client was synced");
            for (auto& client : clients)
                client->RequestStop();
            for (auto& client : clients)
                client.reset();
            if (!WaitFor([&] { return hostOwner.Left >= left + ClientsPerCycle; }, 10))
                Fail("the host did not see every client leave");
            ++cycles;
        }
        if (hostOwner.Warnings)
            Fail("the host logged warnings");
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::string reason = NetNsUnavailableReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "kivora_soak: %s\n", reason.c_str());
        return 2;
    }
    const long rssBeforeSetup = RssKb();
    const long descriptorsBefore = OpenDescriptors();
    auto net = std::make_unique<Network>();
    if (!net->ok) {
        std::fprintf(stderr, "kivora_soak: could not build the network: %s %s %s\n",
                     net->player.Error().c_str(), net->remote.Error().c_str(),
                     net->autoconfig.Error().c_str());
        return 1;
    }
    int failures = 0;
    {
        Receivers receivers(net->remote);
        NetNsScope inPlayer(net->player);
        const int game = UdpSocket(PlayerIP, GameSourcePort, true);
        if (!receivers.Ok() || !inPlayer.Ok() || game < 0) {
            std::fprintf(stderr, "kivora_soak: could not open the sockets\n");
            return 1;
        }
        sockaddr_in broadcast{};
        broadcast.sin_family = AF_INET;
        broadcast.sin_port = htons(GamePort);
        broadcast.sin_addr.s_addr = htonl(INADDR_BROADCAST);

        AutoConfigLoop autoconfig;
        std::thread autoconfigThread([&] { autoconfig.Run(net->autoconfig); });

        CSettings settings;
        settings.SetPath("/nonexistent/KIVORA.cfg");
        settings.ExternalIP = "198.51.100.7";
        for (int i = UserCount - 1; i >= 0; --i)
            settings.AddOrUpdateUser(("user" + std::to_string(i)).c_str(), UserIP(i).c_str());

        std::printf("%8s %6s %10s %8s %8s %9s\n", "seconds", "runs", "broadcasts", "RSS kB",
                    "threads", "AC cycles");
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        long rssStart = 0;
        long sentTotal = 0, expectedTotal = 0, receivedTotal = 0, strayTotal = 0;
        std::array<long, UserCount> sentTo{}, receivedBy{};
        int run = 0;
        auto nextReport = start + std::chrono::seconds(60);
        char payload[PayloadBytes];
        for (; Clock::now() < end && run < MaxRuns; ++run) {
            // Every non-empty set of the users in turn, one per run.
            const int checked = run % ((1 << UserCount) - 1) + 1;
            int i = 0;
            for (CUserSocket* user : settings.Users)
                user->Forward = (checked >> i++) & 1;
            const auto what = CForwardLink::WhatToForward(settings);
            auto forwarder =
                std::make_unique<CForwarder>(what.Users, what.External, what.ForwardMore);
            CUString error;
            if (!forwarder->OpenCapture(error)) {
                std::fprintf(stderr, "kivora_soak: %s\n", error.c_str());
                failures++;
                break;
            }
            forwarder->StartThread(CForwarder::ForwardThread, 0);

            int sent = 0;
            const auto runStart = Clock::now();
            const auto runEnd = runStart + std::chrono::seconds(RunSeconds);
            for (auto at = runStart; at < runEnd && at < end;
                 at += std::chrono::microseconds(1000000 / BroadcastRate)) {
                std::this_thread::sleep_until(at);
                MakePayload(payload, run, sent);
                if (::sendto(game, payload, PayloadBytes, 0,
                             reinterpret_cast<sockaddr*>(&broadcast),
                             sizeof broadcast) == static_cast<ssize_t>(PayloadBytes))
                    ++sent;
                else
                    std::fprintf(stderr, "run %d: send failed: %s\n", run, std::strerror(errno));
            }
            // Everything sent gets its copies before the forwarder stops.
            WaitFor(
                [&] {
                    for (int u = 0; u < UserCount; ++u)
                        if (((checked >> u) & 1) && receivers.Count(run, u) < sent)
                            return false;
                    return true;
                },
                3);
            forwarder.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // late strays
            sentTotal += sent;
            for (int u = 0; u < UserCount; ++u) {
                const long got = receivers.Count(run, u);
                if ((checked >> u) & 1) {
                    expectedTotal += sent;
                    sentTo[u] += sent;
                    receivedTotal += got;
                    receivedBy[u] += got;
                } else {
                    strayTotal += got;
                }
            }
            if (run == 0)
                rssStart = RssKb(); // after one run and the sessions' first start
            if (Clock::now() >= nextReport || Clock::now() >= end) {
                const auto elapsed =
                    std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
                std::printf("%8ld %6d %10ld %8ld %8ld %9ld\n", static_cast<long>(elapsed.count()),
                            run + 1, sentTotal, RssKb(), Threads(), autoconfig.cycles.load());
                std::fflush(stdout);
                nextReport += std::chrono::seconds(60);
            }
        }
        autoconfig.stop = true;
        autoconfigThread.join();
        ::close(game);
        const long rssEnd = RssKb();

        std::printf("\nforwarder runs: %d of %d s at %d broadcasts/s, checked sets rotating\n", run,
                    RunSeconds, BroadcastRate);
        std::printf("broadcasts sent: %ld; copies expected: %ld; received: %ld; lost: %ld; "
                    "to unchecked users: %ld; corrupt: %ld\n",
                    sentTotal, expectedTotal, receivedTotal, expectedTotal - receivedTotal,
                    strayTotal, receivers.Corrupt());
        for (int u = 0; u < UserCount; ++u)
            std::printf("  %s: sent %ld, received %ld\n", UserIP(u).c_str(), sentTo[u],
                        receivedBy[u]);
        std::printf("AutoConfig: %ld cycles of %d clients joining, synced and leaving; "
                    "failures: %ld%s%s\n",
                    autoconfig.cycles.load(), ClientsPerCycle, autoconfig.failures.load(),
                    autoconfig.failures ? ", first: " : "", autoconfig.firstFailure.c_str());
        std::printf("RSS: %ld kB before setup, %ld kB after the first run, %ld kB at the end "
                    "(%+ld kB)\n",
                    rssBeforeSetup, rssStart, rssEnd, rssEnd - rssStart);
        failures += expectedTotal != receivedTotal || strayTotal != 0 || receivers.Corrupt() != 0 ||
                    autoconfig.failures != 0 || autoconfig.cycles == 0;
        // Freed memory that the allocator keeps is not growth; a leak per cycle or per
        // packet is far beyond this over thousands of them.
        failures += rssEnd - rssStart > 8 * 1024;
    }
    // Everything is stopped now: only this thread may be left.
    const long threads = Threads();
    const long descriptors = OpenDescriptors();
    std::printf("threads at the end: %ld; open descriptors: %ld at the start, %ld at the end\n",
                threads, descriptorsBefore, descriptors);
    failures += threads != 1 || descriptors != descriptorsBefore;
    net.reset();
    std::printf("%s\n", failures ? "SOAK FAILED" : "soak passed");
    return failures ? 1 : 0;
}

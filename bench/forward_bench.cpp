// Measures the forwarder against the floor of what the machine can do, in network
// namespaces of its own (needs root):
//   1. idle cost: CPU the forwarding process spends while unrelated traffic flows,
//      with the in-kernel filter and with every packet copied to the program;
//   2. throughput: forwarded copies per second against a bare raw-socket send loop;
//   3. latency: broadcast sent in "player" to copy received in "remote", against a
//      datagram sent there directly;
//   4. stop time.
// Forwarding runs in the program's own helper (kivora-forward, beside this program), as
// the window runs it; beside it the same loop in this process, with and without its
// counters, shows what the helper and the counting cost.
// Prints one table; docs/performance.md holds a run of it.

#include "NetNs.h"
#include "base/CIPHeader.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "forward/CForwardLink.h"
#include "forward/CForwarder.h"
#include "users/CSettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

const char PlayerIP[] = "10.88.0.1";
const char SinkIP[] = "10.88.0.200";
constexpr int MaxUsers = 32;
constexpr uint16_t SinkPort = 9999;
constexpr uint16_t GamePort = 7777;
constexpr uint16_t ProbePort = 7778;
constexpr uint32_t ProbeMagic = 0x4b56524c;

std::string UserIP(int i)
{
    return "10.88.0." + std::to_string(2 + i);
}

int64_t NowNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

sockaddr_in Address(const std::string& ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

int UdpSocket(const std::string& bindIP, uint16_t port, int rcvbuf)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (port) {
        sockaddr_in a = Address(bindIP.empty() ? "0.0.0.0" : bindIP, port);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            std::perror("bind");
    }
    return fd;
}

// Received-packet counters of the namespace the calling thread is in.
struct IpCounters {
    long long inReceives = 0;
    long long inBcast = 0;
};

long long ReadCounter(const char* file, const std::string& section, const std::string& name)
{
    std::ifstream in(file);
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind(section + ":", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string key, value;
        while (n >> key && v >> value)
            if (key == name)
                return std::stoll(value);
    }
    return 0;
}

IpCounters ReadIpCounters()
{
    IpCounters c;
    c.inReceives = ReadCounter("/proc/thread-self/net/snmp", "Ip", "InReceives");
    c.inBcast = ReadCounter("/proc/thread-self/net/netstat", "IpExt", "InBcastPkts");
    return c;
}

// The bench's own small network: "player" runs the forwarder, "remote" holds every
// user's address and a sink for unrelated traffic.
struct Network {
    NetNs player{"bplayer"};
    NetNs remote{"bremote"};
    bool ok = false;

    Network()
    {
        if (!player.Ok() || !remote.Ok() || !AddVethPair(player, "p0", remote, "r0"))
            return;
        bool good = player.Ip(std::string("addr add ") + PlayerIP + "/24 dev p0") &&
                    player.Ip("route add default via 10.88.0.2 dev p0") &&
                    remote.Ip(std::string("addr add ") + SinkIP + "/24 dev r0");
        for (int i = 0; i < MaxUsers && good; ++i)
            good = remote.Ip("addr add " + UserIP(i) + "/24 dev r0");
        ok = good;
    }
};

// How a run forwards: through the helper as the window does, or the same loop in this
// process, with or without its counters.
enum class Mode { Helper, InProcess, NoCounters };

// A forwarding run over `users` checked users; the caller is in the player's namespace.
struct RunningForwarder {
    CSettings settings;
    std::unique_ptr<CForwarder> forwarder;
    std::unique_ptr<CForwardLink> link;
    CUString error;
    bool running = false;

    RunningForwarder(int users, bool kernelFilter, Mode mode = Mode::InProcess, int forwardMore = 0)
    {
        settings.SetExternalIP(PlayerIP);
        settings.ForwardMore = forwardMore;
        for (int i = users - 1; i >= 0; --i)
            settings.AddOrUpdateUser(("user" + std::to_string(i)).c_str(), UserIP(i).c_str());
        if (mode == Mode::Helper) {
            link = std::make_unique<CForwardLink>();
            running = link->Start(CForwardLink::WhatToForward(settings), error);
            return;
        }
        const auto what = CForwardLink::WhatToForward(settings);
        forwarder = std::make_unique<CForwarder>(what.Users, what.External, what.ForwardMore);
        forwarder->KeepCounters = mode == Mode::InProcess;
        if (!forwarder->OpenCapture(error, kernelFilter ? 1 : 0)) {
            forwarder.reset();
            return;
        }
        forwarder->StartThread(CForwarder::ForwardThread, 0);
        while (forwarder->GetState() == CThreadHelper::NotStarted)
            std::this_thread::yield();
        running = true;
    }
    ~RunningForwarder() { Stop(); }
    // Returns once no copy can leave any more: what the player waits for after Stop.
    void Stop()
    {
        if (link) {
            CForwardStats stats;
            link->Stop(stats);
        }
        if (!forwarder)
            return;
        forwarder->RequestStop();
        forwarder->Wake();
        forwarder.reset();
    }
};

// Sends `rate` datagrams per second (0: as fast as it can) of `payload` bytes to
// `to` for `seconds`, from a child process, so that its CPU time is not ours.
pid_t SpawnSender(const sockaddr_in& to, int rate, double seconds, size_t payload)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int fd = UdpSocket("", 0, 0);
    std::vector<char> data(payload, 'k');
    constexpr int Batch = 64;
    mmsghdr messages[Batch]{};
    iovec iov{data.data(), data.size()};
    sockaddr_in dest = to;
    for (auto& m : messages) {
        m.msg_hdr.msg_name = &dest;
        m.msg_hdr.msg_namelen = sizeof dest;
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    const int64_t start = NowNs();
    const int64_t end = start + int64_t(seconds * 1e9);
    long long sent = 0;
    while (NowNs() < end) {
        if (rate > 0) {
            // Keep to the rate: wait until the next batch is due.
            const int64_t due = start + int64_t(double(sent) * 1e9 / rate);
            const int64_t now = NowNs();
            if (due > now) {
                timespec ts{time_t((due - now) / 1000000000), long((due - now) % 1000000000)};
                nanosleep(&ts, nullptr);
            }
        }
        int n = sendmmsg(fd, messages, Batch, 0);
        if (n > 0)
            sent += n;
    }
    _exit(0);
}

void WaitFor(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
}

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
    size_t count = 0;
};

Percentiles Summarise(std::vector<double> values)
{
    Percentiles p;
    p.count = values.size();
    if (values.empty())
        return p;
    std::sort(values.begin(), values.end());
    p.p50 = values[values.size() / 2];
    p.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    p.max = values.back();
    return p;
}

// ---- 1. idle cost -------------------------------------------------------------

double IdleCpu(Network& net, bool kernelFilter, double seconds, int rate, int forwardMore = 0)
{
    int sink = -1;
    net.remote.Run([&] { sink = UdpSocket(SinkIP, SinkPort, 4096); });
    NetNsScope in(net.player);
    RunningForwarder running(1, kernelFilter, Mode::InProcess, forwardMore);
    if (!running.running) {
        std::fprintf(stderr, "capture: %s\n", running.error.c_str());
        return -1;
    }
    const double before = ProcessCpuSeconds();
    pid_t sender = SpawnSender(Address(SinkIP, SinkPort), rate, seconds, 64);
    WaitFor(sender);
    const double used = ProcessCpuSeconds() - before;
    running.Stop();
    close(sink);
    return used;
}

// ---- 2. throughput ---------------------------------------------------------------

double CopiesPerSecond(Network& net, const std::function<void()>& load)
{
    IpCounters before, after;
    net.remote.Run([&] { before = ReadIpCounters(); });
    const int64_t start = NowNs();
    load();
    const double elapsed = double(NowNs() - start) / 1e9;
    net.remote.Run([&] { after = ReadIpCounters(); });
    const long long copies =
        (after.inReceives - before.inReceives) - (after.inBcast - before.inBcast);
    return double(copies) / elapsed;
}

double ForwarderThroughput(Network& net, int users, double seconds, Mode mode)
{
    NetNsScope in(net.player);
    RunningForwarder running(users, true, mode);
    if (!running.running)
        return -1;
    return CopiesPerSecond(net, [&] {
        WaitFor(SpawnSender(Address("255.255.255.255", GamePort), 0, seconds, 32));
        running.Stop(); // what is still queued is not counted as sent in time
    });
}

// The floor: the same re-addressed datagrams, sent by a bare loop through one raw
// socket per user, with no capture at all. The game's broadcasts flow meanwhile as in
// the forwarder's run, so that both share the two cores with the same sender.
double FloorThroughput(Network& net, int users, double seconds)
{
    NetNsScope in(net.player);
    std::vector<std::vector<uint8_t>> datagrams;
    std::vector<sockaddr_in> to;
    std::vector<int> sockets;
    for (int i = 0; i < users; ++i) {
        CUBuffer raw;
        uint8_t packet[20 + 8 + 32] = {0x45, 0, 0, 60, 0x12, 0x34, 0, 0, 64, 17};
        inet_pton(AF_INET, PlayerIP, packet + 12);
        std::memset(packet + 16, 0xff, 4);
        packet[20] = 0x9c, packet[21] = 0x40; // source port 40000
        packet[22] = GamePort >> 8, packet[23] = GamePort & 0xff;
        packet[24] = 0, packet[25] = 40;
        std::memset(packet + 28, 'k', 32);
        raw.Append(packet, sizeof packet);
        CIPHeader ip;
        CUDPHeader udp;
        raw >> ip >> udp;
        to.push_back(Address(UserIP(i), GamePort));
        ip.SetDestination(to.back().sin_addr.s_addr);
        ip.PrepareUDPPacket(udp);
        CUBuffer out;
        out << ip << udp;
        datagrams.emplace_back(out.GetData(), out.GetData() + out.GetDataLength());
        sockets.push_back(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    }
    const double rate = CopiesPerSecond(net, [&] {
        const pid_t game = SpawnSender(Address("255.255.255.255", GamePort), 0, seconds, 32);
        const int64_t end = NowNs() + int64_t(seconds * 1e9);
        while (NowNs() < end)
            for (int i = 0; i < users; ++i)
                sendto(sockets[size_t(i)], datagrams[size_t(i)].data(), datagrams[size_t(i)].size(),
                       0, reinterpret_cast<sockaddr*>(&to[size_t(i)]), sizeof to[size_t(i)]);
        WaitFor(game);
    });
    for (int fd : sockets)
        close(fd);
    return rate;
}

// ---- 3. latency ------------------------------------------------------------------

struct Probe {
    uint32_t magic;
    uint32_t sequence;
    int64_t sentNs; // CLOCK_REALTIME, as the kernel stamps arrivals
};

// Receives probes on every address of "remote" and keeps the latency of each copy
// (the broadcast itself, addressed to 255.255.255.255, is left out).
class ProbeReceiver
{
public:
    explicit ProbeReceiver(Network& net)
    {
        net.remote.Run([&] {
            m_fd = UdpSocket("", ProbePort, 8 << 20);
            int one = 1;
            setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
            setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        });
        m_thread = std::thread([this] { Loop(); });
    }
    ~ProbeReceiver()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    std::vector<double> TakeMicroseconds()
    {
        m_stop = true;
        m_thread.join();
        m_thread = std::thread([] {});
        return m_latencies;
    }

private:
    void Loop()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            Probe probe{};
            iovec iov{&probe, sizeof probe};
            char control[256];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            if (recvmsg(m_fd, &msg, 0) != sizeof probe || probe.magic != ProbeMagic)
                continue;
            int64_t arrived = 0;
            bool broadcast = false;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    arrived = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
                } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info{};
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    broadcast = info.ipi_addr.s_addr == INADDR_BROADCAST;
                }
            }
            if (!broadcast && arrived)
                m_latencies.push_back(double(arrived - probe.sentNs) / 1e3);
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::vector<double> m_latencies;
    std::thread m_thread;
};

// Sends `count` probes at `rate` per second to `to` from the calling thread.
void SendProbes(const sockaddr_in& to, int count, int rate)
{
    int fd = UdpSocket("", 0, 0);
    const int64_t start = NowNs();
    for (int i = 0; i < count; ++i) {
        const int64_t due = start + int64_t(double(i) * 1e9 / rate);
        timespec ts{time_t(due / 1000000000), long(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        Probe probe{ProbeMagic, uint32_t(i), NowNs(CLOCK_REALTIME)};
        sendto(fd, &probe, sizeof probe, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(fd);
}

Percentiles ForwardedLatency(Network& net, int users, int count, int rate, Mode mode)
{
    ProbeReceiver receiver(net);
    NetNsScope in(net.player);
    RunningForwarder running(users, true, mode);
    if (!running.running)
        return {};
    SendProbes(Address("255.255.255.255", ProbePort), count, rate);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    running.Stop();
    return Summarise(receiver.TakeMicroseconds());
}

Percentiles DirectLatency(Network& net, int count, int rate)
{
    ProbeReceiver receiver(net);
    NetNsScope in(net.player);
    SendProbes(Address(UserIP(0), ProbePort), count, rate);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return Summarise(receiver.TakeMicroseconds());
}

// ---- 4. stop time ----------------------------------------------------------------

Percentiles StopTimes(Network& net, int rounds, Mode mode)
{
    NetNsScope in(net.player);
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        RunningForwarder running(1, true, mode);
        if (!running.running)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // let it block in the read
        const int64_t start = NowNs();
        running.Stop();
        ms.push_back(double(NowNs() - start) / 1e6);
    }
    return Summarise(ms);
}

std::string Machine()
{
    utsname u{};
    uname(&u);
    std::string cpu;
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " +
           u.release;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const std::string reason = NetNsUnavailableReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "kivora_bench: %s\n", reason.c_str());
        return 2;
    }
    Network net;
    if (!net.ok) {
        std::fprintf(stderr, "kivora_bench: could not build the test network: %s %s\n",
                     net.player.Error().c_str(), net.remote.Error().c_str());
        return 1;
    }
    if (argc > 2 && std::string(argv[1]) == "--throughput") {
        // One throughput run alone, e.g. to profile the forwarder under load.
        const int users = std::atoi(argv[2]);
        std::printf("%d users: %.0f copies/s\n", users,
                    ForwarderThroughput(net, users, 5, Mode::Helper));
        return 0;
    }
    if (argc > 2 && std::string(argv[1]) == "--floor") {
        const int users = std::atoi(argv[2]);
        std::printf("%d users: %.0f copies/s\n", users, FloorThroughput(net, users, 5));
        return 0;
    }
    const double idleSeconds = quick ? 2 : 10;
    const double blastSeconds = quick ? 1 : 3;
    const int probes = quick ? 2000 : 10000;
    const int probeRate = 2000;

    std::printf("KIVORA forwarding benchmark\nmachine: %s\n\n", Machine().c_str());
    std::printf("%-44s %14s %14s %10s\n", "measure", "KIVORA", "floor/other", "ratio");

    const double filtered = IdleCpu(net, true, idleSeconds, 100000);
    const double unfiltered = IdleCpu(net, false, idleSeconds, 100000);
    std::printf("%-44s %12.1fms %12.1fms %9.2f%%\n",
                ("1. idle CPU, 100k pkt/s for " + std::to_string(int(idleSeconds)) + " s").c_str(),
                filtered * 1e3, unfiltered * 1e3, unfiltered > 0 ? 100 * filtered / unfiltered : 0);
    std::printf("%-44s %14s %14s\n", "   (KIVORA: kernel filter; other: capture all)", "", "");
    // The wider filter of ForwardMore (subnet broadcasts, games' groups) must keep the
    // unrelated traffic in the kernel just the same.
    const double filteredMore = IdleCpu(net, true, idleSeconds, 100000, 1);
    std::printf("%-44s %12.1fms %12.1fms %9.2f%%\n", "1. idle CPU, the same with ForwardMore on",
                filteredMore * 1e3, unfiltered * 1e3,
                unfiltered > 0 ? 100 * filteredMore / unfiltered : 0);
    if (argc > 1 && std::string(argv[1]) == "--idle")
        return 0; // the idle figures alone: a short run beside the others' work

    // This machine's figures swing by a fifth from run to run: each figure is the
    // median of `rounds` runs, forwarder and floor taking turns.
    const int rounds = quick ? 1 : 3;
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    for (int users : {1, 8, 32}) {
        std::vector<double> helper, counted, uncounted, floor;
        for (int r = 0; r < rounds; ++r) {
            helper.push_back(ForwarderThroughput(net, users, blastSeconds, Mode::Helper));
            counted.push_back(ForwarderThroughput(net, users, blastSeconds, Mode::InProcess));
            uncounted.push_back(ForwarderThroughput(net, users, blastSeconds, Mode::NoCounters));
            floor.push_back(FloorThroughput(net, users, blastSeconds));
        }
        const double h = median(helper), c = median(counted), u = median(uncounted),
                     b = median(floor);
        std::printf("%-44s %10.0f/s   %10.0f/s %9.1f%%\n",
                    ("2. copies per second, " + std::to_string(users) + " users").c_str(), h, b,
                    b > 0 ? 100 * h / b : 0);
        std::printf("%-44s %10.0f/s   %10.0f/s %9.1f%%\n", "   in-process: with counters / without",
                    c, u, u > 0 ? 100 * c / u : 0);
    }

    auto medianRun = [&](const std::function<Percentiles()>& run) {
        std::vector<Percentiles> runs;
        for (int r = 0; r < rounds; ++r)
            runs.push_back(run());
        std::sort(runs.begin(), runs.end(),
                  [](const Percentiles& a, const Percentiles& b) { return a.p99 < b.p99; });
        return runs[runs.size() / 2];
    };
    const Percentiles direct = medianRun([&] { return DirectLatency(net, probes, probeRate); });
    const struct {
        Mode mode;
        const char* name;
    } modes[] = {{Mode::Helper, "helper"},
                 {Mode::InProcess, "in-process"},
                 {Mode::NoCounters, "in-process, no counters"}};
    for (int users : {1, 8}) {
        for (const auto& m : modes) {
            const Percentiles fwd =
                medianRun([&] { return ForwardedLatency(net, users, probes, probeRate, m.mode); });
            std::printf(
                "%-44s %8.0f/%4.0fus %8.0f/%4.0fus  +%.0f/+%.0fus\n",
                ("3. latency p50/p99, " + std::to_string(users) + " users, " + m.name).c_str(),
                fwd.p50, fwd.p99, direct.p50, direct.p99, fwd.p50 - direct.p50,
                fwd.p99 - direct.p99);
            std::printf("%-44s %12.0fus %12.0fus   (%zu copies)\n", "   max", fwd.max, direct.max,
                        fwd.count);
        }
    }

    for (const auto& m : modes) {
        if (m.mode == Mode::NoCounters)
            continue;
        const Percentiles stops = StopTimes(net, quick ? 20 : 100, m.mode);
        std::printf("%-44s %8.2f/%.2fms\n",
                    ("4. stop time p50/max, no traffic, " + std::string(m.name)).c_str(), stops.p50,
                    stops.max);
    }
    return 0;
}

#include "NetNs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace
{

const char NamePrefix[] = "kvt";

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? "'\\''" : std::string(1, c);
    return quoted + "'";
}

} // namespace

int RunCommand(const std::string& command, std::string* output)
{
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, n);
    const int status = ::pclose(pipe);
    if (output)
        *output = text;
    return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

// Their names would come again with their pid.
static void RemoveStaleNetNs()
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
        const std::string name = entry.path().filename();
        const long pid = std::strtol(name.c_str() + sizeof NamePrefix - 1, nullptr, 10);
        if (name.rfind(NamePrefix, 0) == 0 && name.find('_') != std::string::npos && pid > 0 &&
            ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            RunCommand("ip netns del " + Quote(name));
    }
}

std::string NetNsUnavailableReason()
{
    std::string output;
    if (::geteuid() != 0)
        return "needs root to build network namespaces";
    if (RunCommand("ip netns list", &output) != 0)
        return "`ip netns` is not available here: " + output;
    RemoveStaleNetNs();
    NetNs probe("probe");
    return probe.Ok() ? "" : "cannot create a network namespace: " + probe.Error();
}

NetNs::NetNs(const std::string& tag) : m_name(NamePrefix + std::to_string(::getpid()) + "_" + tag)
{
    m_created = Command("ip netns add " + Quote(m_name));
    m_ok = m_created && Ip("link set lo up");
}

NetNs::~NetNs()
{
    if (m_created)
        RunCommand("ip netns del " + Quote(m_name));
}

bool NetNs::Command(const std::string& command)
{
    std::string output;
    if (RunCommand(command, &output) == 0)
        return true;
    m_error = command + ": " + output;
    return false;
}

bool NetNs::Ip(const std::string& arguments)
{
    return Command("ip -n " + Quote(m_name) + " " + arguments);
}

bool NetNs::SetSysctl(const std::string& key, const std::string& value)
{
    return Command("ip netns exec " + Quote(m_name) + " sysctl -qw " + Quote(key + "=" + value));
}

bool NetNs::Run(const std::function<void()>& body) const
{
    bool entered = false;
    std::thread([&] {
        NetNsScope scope(*this);
        if ((entered = scope.Ok()))
            body();
    }).join();
    return entered;
}

NetNsScope::NetNsScope(const NetNs& ns)
{
    m_previous = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/run/netns/" + ns.Name()).c_str(), O_RDONLY | O_CLOEXEC);
    m_ok = m_previous >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

NetNsScope::~NetNsScope()
{
    if (m_ok)
        ::setns(m_previous, CLONE_NEWNET);
    if (m_previous >= 0)
        ::close(m_previous);
}

bool AddVethPair(NetNs& a, const std::string& nameInA, NetNs& b, const std::string& nameInB,
                 const std::string& macInB)
{
    return a.Ip("link add " + nameInA + " type veth peer name " + nameInB +
                (macInB.empty() ? "" : " address " + macInB) + " netns " + b.Name()) &&
           a.Ip("link set " + nameInA + " up") && b.Ip("link set " + nameInB + " up");
}

static sockaddr_in SocketAddress(const std::string& address, int port)
{
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    return where;
}

std::string DottedAddress(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address, text, sizeof text);
}

int UdpSocketIn(const NetNs& ns, const std::string& address, int port, bool broadcast)
{
    int fd = -1;
    ns.Run([&] {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1, fragment = IP_PMTUDISC_DONT; // big datagrams leave as fragments
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &fragment, sizeof fragment);
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, broadcast ? sizeof on : 0);
        const sockaddr_in local = SocketAddress(address, port);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            ::close(fd), fd = -1;
    });
    return fd;
}

bool ReceiveDatagram(int fd, ReceivedDatagram& datagram, int timeoutMs)
{
    pollfd ready{fd, POLLIN, 0};
    static char buffer[65536];
    alignas(cmsghdr) char control[256];
    sockaddr_in from{};
    iovec data{buffer, sizeof buffer};
    msghdr message{&from, sizeof from, &data, 1, control, sizeof control, 0};
    const ssize_t n = ::poll(&ready, 1, timeoutMs) > 0 ? ::recvmsg(fd, &message, 0) : -1;
    if (n < 0)
        return false;
    datagram.payload.assign(buffer, static_cast<size_t>(n));
    datagram.source =
        DottedAddress(from.sin_addr.s_addr) + ":" + std::to_string(ntohs(from.sin_port));
    datagram.destination.clear();
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            datagram.destination =
                DottedAddress(reinterpret_cast<in_pktinfo*>(CMSG_DATA(c))->ipi_addr.s_addr);
    return true;
}

bool SendDatagram(int fd, const std::string& address, int port, const std::string& payload)
{
    const sockaddr_in to = SocketAddress(address, port);
    return ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(payload.size());
}

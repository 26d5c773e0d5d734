#pragma once

// Small networks of Linux network namespaces, veth pairs and bridges for tests; needs root and
// iproute2. setns moves only the calling thread; a socket stays in the namespace it was made
// in, and a new thread starts in its creator's. Read /proc/thread-self/net, not /proc/self/net.

#include "base/CScopedFd.h"

#include <netinet/in.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>

// A shell command's exit status (-1 when it could not run); its output into `output`.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Empty when namespaces can be built here; otherwise why not, for GTEST_SKIP. Removes first
// the namespaces a crashed earlier run left behind (their pid no longer exists).
std::string NetNsUnavailableReason();

// A namespace named "kvt<pid>_<tag>", removed with all its interfaces when destroyed.
class NetNs
{
public:
    explicit NetNs(const std::string& tag);
    ~NetNs();
    NetNs(const NetNs&) = delete;
    NetNs& operator=(const NetNs&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }
    // The last failed command, with its output.
    const std::string& Error() const { return m_error; }

    // `ip -n <name> <arguments>`; true on success.
    bool Ip(const std::string& arguments);
    // Runs `body` on a new thread inside the namespace and waits for it.
    bool Run(const std::function<void()>& body) const;
    // E.g. SetSysctl("net.ipv4.conf.all.rp_filter", "0").
    bool SetSysctl(const std::string& key, const std::string& value);

private:
    bool Command(const std::string& command);

    std::string m_name;
    std::string m_error;
    bool m_created = false;
    bool m_ok = false;
};

// Moves the calling thread into a namespace until destroyed, then back.
class NetNsScope
{
public:
    explicit NetNsScope(const NetNs& ns);
    ~NetNsScope();
    NetNsScope(const NetNsScope&) = delete;
    NetNsScope& operator=(const NetNsScope&) = delete;

    bool Ok() const { return m_ok; }

private:
    int m_previous = -1;
    bool m_ok = false;
};

// A veth pair, both ends up, `nameInA` in `a` and `nameInB` (with `macInB` if given) in `b`.
bool AddVethPair(NetNs& a, const std::string& nameInA, NetNs& b, const std::string& nameInB,
                 const std::string& macInB = "");

// An owned descriptor, closed when destroyed or reset.
using ScopedFd = CScopedFd;

std::string DottedAddress(uint32_t address);

// A UDP socket made inside `ns`, bound to `address`:`port`, sending as games do (big
// datagrams fragmented, broadcasts if allowed); -1 on failure.
int UdpSocketIn(const NetNs& ns, const std::string& address, int port, bool broadcast = false);

// One datagram arriving within `timeoutMs`: its payload, source ("a.b.c.d:port") and the
// address it was sent to (needs IP_PKTINFO on the socket to be filled).
struct ReceivedDatagram {
    std::string payload, source, destination;
};
bool ReceiveDatagram(int fd, ReceivedDatagram& datagram, int timeoutMs = 5000);
bool SendDatagram(int fd, const std::string& address, int port, const std::string& payload);

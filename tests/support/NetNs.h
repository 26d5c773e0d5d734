#pragma once

// Helpers for tests that build a small network of their own out of Linux network
// namespaces, veth pairs and bridges. Everything here needs root and iproute2 ("ip");
// callers skip with NetNsUnavailableReason() where that is missing.
//
// Threads: setns moves only the calling thread. A socket keeps the namespace it was
// created in, and a new thread starts in its creator's namespace. Read per-namespace
// files through /proc/thread-self/net, never /proc/self/net.

#include <functional>
#include <string>

// Runs a shell command and gives its exit status (-1 when it could not be run).
// Standard output and error go into `output` when it is given.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Empty when namespaces can be built here; otherwise why not, for GTEST_SKIP.
std::string NetNsUnavailableReason();

// Removes namespaces that earlier runs of these helpers left behind (a crashed test):
// those whose name carries the id of a process that no longer exists.
void RemoveStaleNetNs();

// A network namespace named "kvt<pid>_<tag>", so that parallel runs never meet.
// Destroying it removes it with every interface in it (a veth pair goes with either
// of its ends).
class NetNs
{
public:
    explicit NetNs(const std::string& tag);
    ~NetNs();
    NetNs(const NetNs&) = delete;
    NetNs& operator=(const NetNs&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }
    // What went wrong in the last failed command, with its output.
    const std::string& Error() const { return m_error; }

    // `ip -n <name> <arguments>`; true on success.
    bool Ip(const std::string& arguments);
    // A shell command run inside the namespace (`ip netns exec`); true on success.
    bool Exec(const std::string& command);
    // Runs `body` on a new thread inside the namespace and waits for it. Sockets the
    // body creates stay in this namespace wherever they are used afterwards.
    bool Run(const std::function<void()>& body) const;

    // Sets an IPv4 sysctl, e.g. SetSysctl("net.ipv4.conf.all.rp_filter", "0").
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

// Connects two namespaces by a veth pair (`nameInA` in `a`, `nameInB` in `b`) and
// brings both ends up. `macInB`, when given, becomes the address of the end in `b`.
bool AddVethPair(NetNs& a, const std::string& nameInA, NetNs& b, const std::string& nameInB,
                 const std::string& macInB = "");

// An IPv4 counter of the calling thread's namespace from /proc/thread-self/net/snmp,
// e.g. ReadNetSnmp("Udp", "InCsumErrors"); -1 when it is not there.
long ReadNetSnmp(const std::string& group, const std::string& field);

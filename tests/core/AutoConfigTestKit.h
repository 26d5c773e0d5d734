#pragma once

// Shared pieces of the AutoConfig tests: an owner without a window that records its
// log, plain POSIX sockets on loopback to play the other end byte by byte, and
// builders for the bytes of the wire format.

#include "autoconfig/CAutoConfigOwner.h"
#include "base/CLogSink.h"
#include "users/CSettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace actest
{

using Bytes = std::vector<uint8_t>;

// Generous bound for anything that has to happen at all.
constexpr std::chrono::milliseconds kWait{5000};

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kWait)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class CRecordingLog : public CLogSink
{
public:
    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    int Count(const std::string& line) const
    {
        auto lines = Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool Has(const std::string& line) const { return Count(line) > 0; }
    bool WaitFor(const std::string& line, int times = 1) const
    {
        return WaitUntil([&] { return Count(line) >= times; });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

protected:
    void AddLine(const CUString& line) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line.Str());
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Stands in for the AutoConfig window.
class CTestOwner : public CAutoConfigOwner
{
public:
    explicit CTestOwner(const char* name = "", const char* host = "")
    {
        Settings.AutoName = name;
        Settings.AutoHost = host;
        Settings.SetPath("/nonexistent/KIVORA.cfg"); // never written by these tests
    }
    CLogSink& GetLog() override { return Log; }
    CSettings* GetSettings() override { return &Settings; }
    void UpdateButton() override
    {
        if (OnUpdateButton)
            OnUpdateButton();
        ++UpdateButtonCalls;
    }

    // Users as "name ip forward" lines, head first, read under the users lock.
    std::vector<std::string> Users()
    {
        CCSLock lock(g_usersLock);
        std::vector<std::string> users;
        for (CUserSocket* u : Settings.Users)
            users.push_back(u->Name.Str() + " " + u->IP.Str() + " " + std::to_string(u->Forward));
        return users;
    }
    std::string ExternalIP()
    {
        CCSLock lock(g_usersLock);
        return Settings.ExternalIP.Str();
    }

    CSettings Settings;
    CRecordingLog Log;
    std::function<void()> OnUpdateButton;
    std::atomic<int> UpdateButtonCalls{0};
};

// --- bytes of the wire format ---

inline void PutInt(Bytes& b, int32_t v)
{
    auto u = static_cast<uint32_t>(v);
    b.insert(b.end(), {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16),
                       static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)});
}
inline void PutString(Bytes& b, const std::string& s)
{
    PutInt(b, static_cast<int32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}
inline Bytes Frame(const Bytes& body)
{
    Bytes b;
    PutInt(b, static_cast<int32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}
// A CMD_USER_INFO body: the count, then (ip, name) records.
inline Bytes UserInfo(int32_t count,
                      const std::vector<std::pair<std::string, std::string>>& records)
{
    Bytes b;
    PutInt(b, 1);
    PutInt(b, count);
    for (const auto& [ip, name] : records) {
        PutString(b, ip);
        PutString(b, name);
    }
    return b;
}
inline Bytes Join(const std::string& name)
{
    Bytes b;
    PutInt(b, 0);
    PutString(b, name);
    return b;
}

// --- plain sockets on loopback ---

class CFd
{
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    CFd(CFd&& other) noexcept : m_fd(other.Release()) {}
    CFd& operator=(CFd&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    ~CFd() { Reset(); }
    int Get() const { return m_fd; }
    int Release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

inline sockaddr_in Loopback(const char* ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A listener on 127.0.0.1; `port` 0 picks a free one, given back in `port`.
inline CFd ListenLoopback(int& port, bool reuse = true)
{
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    if (reuse)
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback("127.0.0.1", port);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.Get(), 8) != 0)
        return CFd();
    socklen_t len = sizeof a;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

inline CFd AcceptWithin(int listenFd)
{
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kWait.count())) <= 0)
        return CFd();
    return CFd(::accept(listenFd, nullptr, nullptr));
}

// A blocking connection from `fromIp` (any 127.x.y.z address) to 127.0.0.1:port.
inline CFd ConnectFrom(const char* fromIp, int port)
{
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = Loopback(fromIp, 0);
    sockaddr_in to = Loopback("127.0.0.1", port);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return CFd();
    return fd;
}

inline bool SendAll(int fd, const Bytes& b)
{
    size_t done = 0;
    while (done < b.size()) {
        ssize_t r = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// Reads exactly n bytes, or fewer when the peer closes or nothing comes in time.
inline Bytes ReadExactly(int fd, size_t n)
{
    Bytes b;
    auto end = std::chrono::steady_clock::now() + kWait;
    while (b.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t chunk[4096];
        ssize_t r = ::recv(fd, chunk, std::min(sizeof chunk, n - b.size()), 0);
        if (r <= 0)
            break;
        b.insert(b.end(), chunk, chunk + r);
    }
    return b;
}

// The body of the next message, or nothing when none arrives whole.
inline std::optional<Bytes> ReadFrame(int fd)
{
    Bytes header = ReadExactly(fd, 4);
    if (header.size() != 4)
        return std::nullopt;
    uint32_t n = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                 (uint32_t(header[2]) << 8) | uint32_t(header[3]);
    Bytes body = ReadExactly(fd, n);
    if (body.size() != n)
        return std::nullopt;
    return body;
}

// True when the peer has closed the connection (end of stream or reset) in time.
inline bool WaitForClose(int fd)
{
    auto end = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t chunk[4096];
        ssize_t r = ::recv(fd, chunk, sizeof chunk, 0);
        if (r <= 0)
            return true;
    }
    return false;
}

// Whether anything listens on 127.0.0.1:port right now.
inline bool SomeoneListens(int port)
{
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = Loopback("127.0.0.1", port);
    return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

} // namespace actest

#pragma once

// AutoConfig test kit: a windowless owner that records its log, plain loopback sockets
// to play the other end byte by byte, and builders for wire-format bytes.

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
#include <utility>
#include <vector>

namespace actest
{

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

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
    actest::Lines Lines() const
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
    actest::Lines m_lines;
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
    actest::Lines Users()
    {
        CCSLock lock(g_usersLock);
        actest::Lines users;
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

// --- bytes of the wire format (big-endian 32-bit integers, length-prefixed strings) ---

inline void PutInt(Bytes& b, int32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> shift));
}
inline void PutString(Bytes& b, const std::string& s)
{
    PutInt(b, static_cast<int32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}
inline Bytes Ints(std::initializer_list<int32_t> values)
{
    Bytes b;
    for (int32_t v : values)
        PutInt(b, v);
    return b;
}
inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}
inline Bytes Frame(const Bytes& body)
{
    return Concat({Ints({static_cast<int32_t>(body.size())}), body});
}
// A CMD_USER_INFO body: the count, then (ip, name) records.
inline Bytes UserInfo(int32_t count,
                      const std::vector<std::pair<std::string, std::string>>& records)
{
    Bytes b = Ints({1, count});
    for (const auto& [ip, name] : records) {
        PutString(b, ip);
        PutString(b, name);
    }
    return b;
}
inline Bytes Join(const std::string& name)
{
    Bytes b = Ints({0});
    PutString(b, name);
    return b;
}

// --- plain sockets on loopback ---

class CFd
{
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CFd& operator=(CFd&& other) noexcept
    {
        Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    ~CFd() { Reset(); }
    int Get() const { return m_fd; }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// A TCP socket bound to ip:port (port 0: any free one); closed when that fails.
inline CFd BoundSocket(const char* ip, int port)
{
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fd.Reset();
    return fd;
}
inline bool ConnectTo(int fd, int port)
{
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    return ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

// A listener on 127.0.0.1; `port` 0 picks a free one, given back in `port`.
inline CFd ListenLoopback(int& port)
{
    CFd fd = BoundSocket("127.0.0.1", port);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::listen(fd.Get(), 8) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return CFd();
    port = ntohs(a.sin_port);
    return fd;
}

inline CFd AcceptWithin(int listenFd)
{
    pollfd p{listenFd, POLLIN, 0};
    return CFd(::poll(&p, 1, static_cast<int>(kWait.count())) > 0
                   ? ::accept(listenFd, nullptr, nullptr)
                   : -1);
}

// A blocking connection from `fromIp` (any 127.x.y.z address) to 127.0.0.1:port.
inline CFd ConnectFrom(const char* fromIp, int port)
{
    CFd fd = BoundSocket(fromIp, 0);
    if (!ConnectTo(fd.Get(), port))
        fd.Reset();
    return fd;
}

inline bool SomeoneListens(int port)
{
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return ConnectTo(fd.Get(), port);
}

inline bool SendAll(int fd, const Bytes& b)
{
    for (size_t done = 0; done < b.size();) {
        ssize_t r = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// Reads into `b` until it holds n bytes or kWait passes; true when the peer closed
// (end of stream or reset) first.
inline bool ReadUpTo(int fd, Bytes& b, size_t n)
{
    auto end = std::chrono::steady_clock::now() + kWait;
    while (b.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t chunk[4096];
        ssize_t r = ::recv(fd, chunk, std::min(sizeof chunk, n - b.size()), 0);
        if (r <= 0)
            return true;
        b.insert(b.end(), chunk, chunk + r);
    }
    return false;
}
inline bool WaitForClose(int fd)
{
    Bytes ignored;
    return ReadUpTo(fd, ignored, SIZE_MAX);
}

// The body of the next message, or nothing when none arrives whole.
inline std::optional<Bytes> ReadFrame(int fd)
{
    Bytes b;
    ReadUpTo(fd, b, 4);
    if (b.size() != 4)
        return std::nullopt;
    size_t n = 4 + ((size_t(b[0]) << 24) | (size_t(b[1]) << 16) | (size_t(b[2]) << 8) | b[3]);
    ReadUpTo(fd, b, n);
    if (b.size() != n)
        return std::nullopt;
    return Bytes(b.begin() + 4, b.end());
}

} // namespace actest

#pragma once

// AutoConfig test kit: a windowless owner that records its log, builders of wire bytes,
// loopback sockets that play the other end (every read and accept gives up after Wait),
// and the input feeding the fuzz targets share.

#include "NetNs.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "base/CLogSink.h"
#include "base/CUSocket.h"
#include "users/CSettings.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace actest
{

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
constexpr std::chrono::milliseconds Wait{5000}; // bound for anything that has to happen

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = Wait)
{
    for (auto end = std::chrono::steady_clock::now() + timeout; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

// Stands in for the AutoConfig window: records its log and counts UpdateButton.
class CTestOwner : public CAutoConfigOwner, public CLogSink
{
public:
    explicit CTestOwner(const char* name = "", const char* host = "")
    {
        Settings.AutoName = name;
        Settings.AutoHost = host;
        Settings.SetPath("/nonexistent/KIVORA.cfg"); // never written by these tests
    }
    CLogSink& GetLog() override { return *this; }
    CSettings* GetSettings() override { return &Settings; }
    void UpdateButton() override { ++UpdateButtonCalls; }
    Lines Log() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    bool Has(const std::string& line) const { return std::ranges::count(Log(), line) > 0; }
    bool WaitFor(const std::string& line) const
    {
        return WaitUntil([&] { return Has(line); });
    }
    // Users as "name ip forward", head first, read under the users lock.
    Lines Users()
    {
        CCSLock lock(g_usersLock);
        Lines users;
        for (CUserSocket* u : Settings.Users)
            users.push_back(u->Name.Str() + " " + u->IP.Str() + " " + std::to_string(u->Forward));
        return users;
    }

    CSettings Settings;
    std::atomic<int> UpdateButtonCalls{0};

protected:
    void AddLine(const CUString& line) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line.Str());
    }

private:
    mutable std::mutex m_mutex;
    Lines m_lines;
};

// --- wire bytes: fields as CUBuffer encodes them (pinned by the join test), framed ---
template <class... Field>
Bytes Wire(const Field&... fields)
{
    CUBuffer b;
    ((b << fields), ...);
    return Bytes(b.GetData(), b.GetData() + b.GetDataLength());
}
inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes Frame(const Bytes& body)
{
    return Wire(static_cast<int32_t>(body.size())) + body;
}

// A listener on 127.0.0.1:port, or else a connection from `fromIp` to it; fd -1 on failure.
inline ScopedFd Loopback(const char* fromIp, int port, bool listen = false, int backlog = 8)
{
    ScopedFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    timeval wait{Wait.count() / 1000, 0};
    ::setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(s.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait); // accepted ones inherit it
    ::setsockopt(s.Get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait); // and connect gives up
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(listen ? port : 0)), {}, {}};
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    inet_pton(AF_INET, fromIp, &a.sin_addr);
    if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listen ? ::listen(s.Get(), backlog)
                : ::connect(s.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to)) != 0)
        s.Reset();
    return s;
}
inline bool SendAll(int fd, const Bytes& b)
{
    ssize_t r = 1;
    for (size_t done = 0; done < b.size() && r > 0; done += static_cast<size_t>(r))
        r = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    return r > 0;
}
// The body of the next message, or nothing when none arrives whole.
inline std::optional<Bytes> ReadFrame(int fd)
{
    Bytes h(4), body;
    if (::recv(fd, h.data(), 4, MSG_WAITALL) != 4)
        return std::nullopt;
    body.resize(size_t(h[0]) << 24 | h[1] << 16 | h[2] << 8 | h[3]);
    if (::recv(fd, body.data(), body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size()))
        return std::nullopt;
    return body;
}
// --- for the fuzz targets ---
// Hands `data` to the input of `s` in pieces cut where the data says, as reads from a
// network would, running `step` after each until it gives false.
inline void FeedInPieces(CUSocket& s, const uint8_t* data, size_t size,
                         const std::function<bool()>& step)
{
    std::minstd_rand cut(static_cast<uint32_t>(
        std::hash<std::string_view>{}({reinterpret_cast<const char*>(data), size})));
    for (size_t fed = 0, piece; fed < size; fed += piece) {
        piece = std::min<size_t>(cut() % 8 ? 1 + cut() % 64 : size, size - fed);
        s.In.Append(data + fed, piece);
        if (!step())
            return;
    }
}
// What any input may leave behind: users with real addresses and names of 255 bytes at
// most, log lines that are one short line each.
inline bool SoundAfterInput(CTestOwner& owner)
{
    for (CUserSocket* u : owner.Settings.Users)
        if (!CUString::ValidateIPAddress(u->IP.c_str()) || u->Name.GetLength() > 255)
            return false;
    return std::ranges::none_of(owner.Log(), [](const std::string& line) {
        return line.size() > 1000 || line.find_first_of("\r\n") != std::string::npos;
    });
}

} // namespace actest

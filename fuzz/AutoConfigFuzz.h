#pragma once

// What the two AutoConfig fuzz targets share: an owner without a window, the input
// sent over a real loopback connection in pieces so that Poll hands it in as it would
// from a network, and the check of the settings file written afterwards.

#include "TempDir.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "base/CLogSink.h"
#include "base/CUSocket.h"
#include "users/CSettings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace acfuzz
{

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

class CCountingLog : public CLogSink
{
public:
    int Lines = 0;

protected:
    void AddLine(const CUString&) override { ++Lines; }
};

class CFuzzOwner : public CAutoConfigOwner
{
public:
    CLogSink& GetLog() override { return Log; }
    CSettings* GetSettings() override { return &Settings; }
    void UpdateButton() override {}

    CCountingLog Log;
    CSettings Settings;
};

// The most a connection holds in In: one largest message with its length.
constexpr size_t kMaxInput = 4 + CUSocket::MaxMessageLength;

// A real loopback connection: the far end (given back, non-blocking) plays the peer and
// `accepted` becomes the connection under test, as Accept leaves it.
inline int ConnectLoopback(CUSocket& accepted)
{
    static int listener = -1;
    static sockaddr_in address{};
    if (listener < 0) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        Check(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener, 4) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    }
    int far = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Every connection ends in TIME_WAIT for a minute: a new source address each time
    // keeps thousands of runs a second from running out of ports.
    static uint32_t next = 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f010000u + 1 + next++ % 0xfffe); // 127.1.x.y
    Check(::bind(far, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0);
    Check(::connect(far, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    Check(accepted.Accept(listener) != 0);
    ::fcntl(far, F_SETFL, O_NONBLOCK);
    return far;
}

// Sends the input from the far end in pieces and runs `poll` (the connection's Poll;
// it gives whether the connection lives) after each, so that input arrives cut at
// points that depend on the input. Everything `under` sends back is taken and dropped.
// Ends with the far end closing, which the connection must notice.
inline void Feed(CUSocket& under, int far, const uint8_t* data, size_t size,
                 const std::function<bool()>& poll)
{
    std::minstd_rand cuts(static_cast<uint32_t>(
        std::hash<std::string>{}(std::string(reinterpret_cast<const char*>(data), size))));
    bool open = true;
    auto step = [&] {
        uint8_t sink[4096];
        while (open && ::recv(far, sink, sizeof sink, 0) > 0) {
        }
        if (!poll())
            return false;
        // In holds one message at most, however fast the peer sends.
        Check(under.In.GetDataLength() <= kMaxInput);
        return true;
    };
    size_t fed = 0;
    bool alive = true;
    while (alive && fed < size) {
        size_t piece = 1 + cuts() % 64;
        if (cuts() % 8 == 0)
            piece = size - fed; // now and then everything that is left
        piece = std::min(piece, size - fed);
        ssize_t sent = ::send(far, data + fed, piece, MSG_NOSIGNAL);
        if (sent > 0)
            fed += static_cast<size_t>(sent);
        alive = step();
    }
    ::close(far);
    open = false;
    // The close must be seen within a few polls, however much was still buffered.
    for (int i = 0; alive && i < 100; ++i)
        alive = step();
    Check(!alive);
}

// Saves the settings and checks the file: one line per setting and per user, and
// every user is still there when it is read back.
inline void CheckSavedSettings(CSettings& settings)
{
    static TempDir dir;
    const std::string path = dir.File("KIVORA.cfg");
    settings.SetPath(path.c_str());
    Check(settings.Save() != 0);
    const std::string written = ReadWholeFile(path);
    size_t lines = 0;
    for (char c : written)
        lines += c == '\n';
    Check(lines == 3 + static_cast<size_t>(settings.Users.GetCount()));
    CSettings reread;
    reread.SetPath(path.c_str());
    reread.Load();
    Check(reread.Users.GetCount() == settings.Users.GetCount());
}

} // namespace acfuzz

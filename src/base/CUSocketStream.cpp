// The TCP side of CUSocket. On the wire every message is a 4-byte big-endian body
// length followed by the body; Poll frames whatever was put into Out since the last
// Poll as one message. In holds the raw received stream, and the base ProcessInput
// cuts the next complete message out of it.

#include "base/CUSocket.h"

#include "base/ByteOrder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace
{

constexpr size_t HeaderLength = 4;
// In never holds more than one largest message with its header: a peer that sends
// faster than we process waits in TCP flow control, not in our memory.
constexpr size_t MaxInput = HeaderLength + CUSocket::MaxMessageLength;
constexpr size_t ReadChunk = 16 * 1024;
// Output a peer has left untaken for this long marks it as gone rather than let
// every further message pile up behind it.
constexpr size_t MaxPendingOutput = 16 * MaxInput;
// Connect runs on the GUI thread, so it gives up on a silent host after this long.
constexpr int ConnectTimeoutMs = 3000;

uint32_t ReadHeader(const uint8_t* p)
{
    return GetBigEndian32(p);
}

} // namespace

struct CUSocket::StreamState {
    // Framed output not yet taken by the kernel, and how much of it has gone.
    std::vector<uint8_t> pending;
    size_t sent = 0;

    // The message whose header ProcessInput has stripped and that its caller has not
    // removed yet. Poll adds what it appends, so a differing length means the caller
    // consumed it; until then ProcessInput keeps giving the same length.
    bool framePending = false;
    int frameLength = 0;
    size_t lengthAfterStrip = 0;

    // Whether the front of `in` is a message header (not a stripped message's body).
    bool AtHeader(const CUBuffer& in) const
    {
        return !framePending || in.GetDataLength() != lengthAfterStrip;
    }
};

void CUSocket::StreamStateDeleter::operator()(StreamState* state) const
{
    delete state;
}

void CUSocket::FreeStream()
{
    m_stream.reset();
}

int CUSocket::Connect(const char* host, int port, int /*flag*/)
{
    Close();
    In.Clear();
    Out.Clear();
    sockaddr_in address{};
    if (!host || !*host || !GetSockAddr(address, host, port)) {
        m_error.Format("connect: '%s' is not an IPv4 address", host ? host : "");
        return 0;
    }
    CScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.IsOpen()) {
        SetErrorFromErrno("socket");
        return 0;
    }
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            SetErrorFromErrno("connect");
            return 0;
        }
        pollfd pfd{fd.Get(), POLLOUT, 0};
        int ready;
        do
            ready = ::poll(&pfd, 1, ConnectTimeoutMs);
        while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready == 0)
            error = ETIMEDOUT;
        else if (ready < 0)
            error = errno;
        else if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == ETIMEDOUT) {
            m_error = "connect: timed out";
            return 0;
        }
        if (error != 0) {
            errno = error;
            SetErrorFromErrno("connect");
            return 0;
        }
    }
    m_handle = std::move(fd);
    return 1;
}

int CUSocket::Accept(int listenHandle)
{
    Close();
    In.Clear();
    Out.Clear();
    int fd = ::accept4(listenHandle, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        SetErrorFromErrno("accept");
        return 0;
    }
    m_handle.Reset(fd);
    return 1;
}

int CUSocket::TransferStream()
{
    if (!m_handle.IsOpen())
        return 0;
    if (!m_stream)
        m_stream.reset(new StreamState);
    StreamState& stream = *m_stream;

    if (Out.GetDataLength() > 0) {
        auto length = static_cast<uint32_t>(Out.GetDataLength());
        uint8_t header[HeaderLength];
        PutBigEndian32(header, length);
        stream.pending.insert(stream.pending.end(), header, header + HeaderLength);
        stream.pending.insert(stream.pending.end(), Out.GetData(),
                              Out.GetData() + Out.GetDataLength());
        Out.Clear();
    }

    int alive = 1;
    while (stream.sent < stream.pending.size()) {
        ssize_t r = ::send(m_handle.Get(), stream.pending.data() + stream.sent,
                           stream.pending.size() - stream.sent, MSG_NOSIGNAL);
        if (r > 0) {
            stream.sent += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            SetErrorFromErrno("send");
            alive = 0;
            break;
        }
    }
    if (stream.sent == stream.pending.size()) {
        stream.pending.clear();
        stream.sent = 0;
    } else if (stream.pending.size() - stream.sent > MaxPendingOutput) {
        m_error = "peer takes no data";
        alive = 0;
    }

    uint8_t chunk[ReadChunk];
    while (alive && In.GetDataLength() < MaxInput) {
        size_t want = std::min(sizeof chunk, MaxInput - In.GetDataLength());
        ssize_t r = ::recv(m_handle.Get(), chunk, want, 0);
        if (r > 0) {
            In.Append(chunk, static_cast<size_t>(r));
            if (stream.framePending)
                stream.lengthAfterStrip += static_cast<size_t>(r);
        } else if (r == 0) {
            m_error = "connection closed by peer";
            alive = 0;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else {
            SetErrorFromErrno("recv");
            alive = 0;
        }
    }
    return alive;
}

int CUSocket::Poll()
{
    int alive = TransferStream();
    // What arrived before the peer went away is still handled.
    if (In.GetDataLength() >= HeaderLength)
        ProcessInput(this);
    if (InputRefused())
        alive = 0;
    if (!alive)
        Close();
    return alive;
}

int CUSocket::ProcessInput(CUSocket* s)
{
    if (!s)
        return 0;
    if (!s->m_stream)
        s->m_stream.reset(new StreamState);
    StreamState& stream = *s->m_stream;
    CUBuffer& in = s->In;
    if (!stream.AtHeader(in))
        return stream.frameLength;
    stream.framePending = false;
    in.ClearReadLimit();
    in.ClearFailed();
    for (;;) {
        if (in.GetDataLength() < HeaderLength)
            return 0;
        uint32_t length = ReadHeader(in.GetData());
        if (length > static_cast<uint32_t>(MaxMessageLength))
            return 0; // refused, see InputRefused
        if (length == 0) {
            // An empty message carries no command; dropping it keeps the stream moving.
            in.Remove(HeaderLength);
            continue;
        }
        if (in.GetDataLength() < HeaderLength + length)
            return 0;
        in.Remove(HeaderLength);
        in.SetReadPosition(0);
        in.SetReadLimit(length);
        stream.framePending = true;
        stream.frameLength = static_cast<int>(length);
        stream.lengthAfterStrip = in.GetDataLength();
        return stream.frameLength;
    }
}

int CUSocket::InputRefused() const
{
    if (m_stream && !m_stream->AtHeader(In))
        return 0;
    return In.GetDataLength() >= HeaderLength &&
           ReadHeader(In.GetData()) > static_cast<uint32_t>(MaxMessageLength);
}

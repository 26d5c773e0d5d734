#include "forward/ForwardProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace ForwardProtocol
{

namespace
{

// Writes into a record of the size computed beforehand: no growth on the way (and no
// false array-bounds warning of g++ 12 about it).
class Writer
{
public:
    Writer(uint8_t type, size_t size) : m_bytes(size) { m_bytes[0] = type; }
    template <class T>
    void Put(T value)
    {
        PutBytes(&value, sizeof value);
    }
    void PutBytes(const void* data, size_t length)
    {
        if (length > m_bytes.size() - m_at)
            return;
        std::memcpy(m_bytes.data() + m_at, data, length);
        m_at += length;
    }
    std::vector<uint8_t> Take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_at = 1;
};

// Reads fields off a record; once a read would pass the end, every later read fails.
class Reader
{
public:
    Reader(const uint8_t* data, size_t length) : m_data(data), m_left(length) {}
    template <class T>
    bool Get(T& value)
    {
        if (!m_ok || m_left < sizeof value)
            return m_ok = false;
        std::memcpy(&value, m_data, sizeof value);
        m_data += sizeof value;
        m_left -= sizeof value;
        return true;
    }
    // A count that the rest of the record must hold `size` bytes each of, at most `bound`.
    bool GetCount(uint32_t& count, size_t bound, size_t size)
    {
        return Get(count) && count <= bound && count * size <= m_left;
    }
    bool AtEnd() const { return m_ok && m_left == 0; }
    const uint8_t* Rest(size_t& length) const
    {
        length = m_left;
        return m_data;
    }

private:
    const uint8_t* m_data;
    size_t m_left;
    bool m_ok = true;
};

bool Type(const uint8_t* data, size_t length, uint8_t type)
{
    return length >= 1 && data[0] == type;
}

} // namespace

std::vector<uint8_t> EncodeStart(const CForwardStart& start)
{
    if (start.Users.size() > MaxUsers)
        return {};
    Writer out(MsgStart, StartSize + start.Users.size() * StartUserSize);
    out.Put(start.ForwardMore);
    out.Put(start.External);
    out.Put(static_cast<uint32_t>(start.Users.size()));
    for (uint32_t address : start.Users)
        out.Put(address);
    return out.Take();
}

int DecodeStart(const uint8_t* data, size_t length, CForwardStart& start)
{
    if (!Type(data, length, MsgStart))
        return 0;
    Reader in(data + 1, length - 1);
    uint32_t count = 0;
    // The switch is 0 or 1: any other value is no Start of ours.
    if (!in.Get(start.ForwardMore) || (start.ForwardMore != 0 && start.ForwardMore != 1) ||
        !in.Get(start.External) || !in.GetCount(count, MaxUsers, StartUserSize))
        return 0;
    start.Users.resize(count);
    for (uint32_t& address : start.Users)
        in.Get(address);
    return in.AtEnd();
}

std::vector<uint8_t> EncodeStats(uint8_t type, const CForwardStats& stats)
{
    if (stats.Users.size() > MaxUsers ||
        stats.Errors.size() > static_cast<size_t>(CForwardStats::MaxErrorKinds))
        return {};
    Writer out(type, StatsSize + stats.Users.size() * StatsUserSize +
                         stats.Errors.size() * StatsErrorSize);
    out.Put(stats.Captured);
    out.Put(stats.Sent);
    out.Put(stats.Failed);
    out.Put(static_cast<int32_t>(stats.LastError));
    out.Put(stats.LastCaptureMs);
    out.Put(static_cast<uint32_t>(stats.Users.size()));
    for (const CForwardUserStats& user : stats.Users) {
        out.Put(user.Sent);
        out.Put(user.Failed);
        out.Put(static_cast<int32_t>(user.LastError));
    }
    out.Put(static_cast<uint32_t>(stats.Errors.size()));
    for (const CForwardErrorCount& kind : stats.Errors) {
        out.Put(static_cast<int32_t>(kind.Error));
        out.Put(kind.Count);
    }
    return out.Take();
}

int DecodeStats(const uint8_t* data, size_t length, CForwardStats& stats)
{
    if (!Type(data, length, MsgStats) && !Type(data, length, MsgStopped))
        return 0;
    Reader in(data + 1, length - 1);
    int32_t lastError = 0;
    uint32_t count = 0;
    if (!in.Get(stats.Captured) || !in.Get(stats.Sent) || !in.Get(stats.Failed) ||
        !in.Get(lastError) || !in.Get(stats.LastCaptureMs) ||
        !in.GetCount(count, MaxUsers, StatsUserSize))
        return 0;
    stats.LastError = lastError;
    stats.Users.resize(count);
    for (CForwardUserStats& user : stats.Users) {
        int32_t error = 0;
        in.Get(user.Sent);
        in.Get(user.Failed);
        in.Get(error);
        user.LastError = error;
    }
    if (!in.GetCount(count, CForwardStats::MaxErrorKinds, StatsErrorSize))
        return 0;
    stats.Errors.resize(count);
    for (CForwardErrorCount& kind : stats.Errors) {
        int32_t error = 0;
        in.Get(error);
        in.Get(kind.Count);
        kind.Error = error;
    }
    return in.AtEnd();
}

std::vector<uint8_t> EncodeFailed(int denied, const CUString& text)
{
    const size_t length = std::min(text.Str().size(), MaxText);
    Writer out(MsgFailed, FailedSize + length);
    out.Put(static_cast<int32_t>(denied ? 1 : 0));
    out.PutBytes(text.c_str(), length);
    return out.Take();
}

int DecodeFailed(const uint8_t* data, size_t length, int& denied, CUString& text)
{
    if (!Type(data, length, MsgFailed))
        return 0;
    Reader in(data + 1, length - 1);
    int32_t kind = 0;
    if (!in.Get(kind))
        return 0;
    size_t left = 0;
    const uint8_t* rest = in.Rest(left);
    if (left > MaxText)
        return 0;
    denied = kind != 0;
    // The text is shown in a message box: no control characters but the line end.
    std::string shown;
    for (size_t i = 0; i < left; ++i)
        shown += (rest[i] < 0x20 && rest[i] != '\n') || rest[i] == 0x7f ? '?' : char(rest[i]);
    text = CUString(shown);
    return 1;
}

long Receive(int fd, std::vector<uint8_t>& buffer)
{
    // MSG_TRUNC gives a record's whole length, so one that does not fit is known as such.
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    // A helper that failed before it read the Start ends with that record unread: the
    // kernel then reports a reset once, ahead of the records the helper left.
    if (n < 0 && errno == ECONNRESET)
        n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? ReceiveNone : ReceiveEnd;
    return static_cast<size_t>(n) > MaxMessage ? ReceiveTooLong : static_cast<long>(n);
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, timeoutMs) > 0;
}

} // namespace ForwardProtocol

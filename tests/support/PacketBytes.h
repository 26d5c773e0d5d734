#pragma once
// The one way tests build packet bytes: an IPv4/UDP datagram from its fields, both checksums
// summed here and not by the code under test, and its IPv4 fragments.
#include "base/ByteOrder.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline uint32_t Ip4(const char* dotted)
{
    return inet_addr(dotted);
}

// RFC 1071 over bytes [from, to) with `sum` added, folded until no carry is left.
inline uint16_t InternetSum(const Bytes& b, size_t from, size_t to, uint32_t sum = 0)
{
    for (size_t i = from; i < to; i += 2)
        sum += static_cast<uint32_t>(b[i] << 8 | (i + 1 < to ? b[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

struct Datagram {
    const char *from = "10.1.1.1", *to = "255.255.255.255";
    std::string payload = "announce";
    uint8_t ttl = 64, protocol = 17;
    bool udpChecksum = true; // false: 0, the sender gave none

    Bytes Build() const
    {
        Bytes b(28 + payload.size(), 0);
        std::memcpy(b.data() + 28, payload.data(), payload.size());
        const uint32_t addresses[2] = {Ip4(from), Ip4(to)};
        std::memcpy(&b[12], addresses, 8);
        b[0] = 0x45, b[4] = 0x1c, b[8] = ttl, b[9] = protocol, b[20] = 0xba, b[22] = 0x69;
        PutBigEndian16(&b[2], static_cast<uint16_t>(b.size()));
        PutBigEndian16(&b[24], static_cast<uint16_t>(b.size() - 20));
        // The pseudo-header: both addresses (in place), the protocol and the UDP length.
        const uint16_t sum = InternetSum(b, 12, b.size(), uint32_t(17 + b.size() - 20));
        if (udpChecksum)
            PutBigEndian16(&b[26], sum ? sum : 0xffff);
        PutBigEndian16(&b[10], InternetSum(b, 0, 20));
        return b;
    }
};

// The fragment of `whole` that holds its IPv4 payload bytes [offset, offset + length).
inline Bytes Fragment(const Bytes& whole, size_t offset, size_t length)
{
    Bytes f(20 + length);
    std::memcpy(f.data(), whole.data(), 20);
    std::memcpy(f.data() + 20, whole.data() + 20 + offset, length);
    const bool more = 20 + offset + length < whole.size();
    PutBigEndian16(&f[2], static_cast<uint16_t>(f.size()));
    PutBigEndian16(&f[6], static_cast<uint16_t>((more ? 0x2000 : 0) | offset / 8));
    PutBigEndian16(&f[10], 0);
    PutBigEndian16(&f[10], InternetSum(f, 0, 20));
    return f;
}

// `datagram` with an IPv4 option (stream ID, 0x88: no unprivileged program can set it).
inline Bytes WithOption(Bytes b)
{
    const uint8_t option[4] = {0x88, 4, 0, 1};
    b.insert(b.begin() + 20, option, option + 4);
    b[0] = 0x46;
    PutBigEndian16(&b[2], static_cast<uint16_t>(b.size()));
    PutBigEndian16(&b[10], 0);
    PutBigEndian16(&b[10], InternetSum(b, 0, 24));
    return b;
}

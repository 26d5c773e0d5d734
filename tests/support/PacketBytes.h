#pragma once

// The one way tests build packet bytes: an IPv4/UDP datagram from its fields, with both
// checksums summed here and not by the code under test, and its IPv4 fragments.

#include "base/ByteOrder.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline uint32_t Ip4(const char* dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

// RFC 1071, folded until no carry is left.
inline uint16_t InternetSum(const Bytes& bytes, size_t from, size_t to, uint32_t sum = 0)
{
    for (size_t i = from; i < to; i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | (i + 1 < to ? bytes[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

struct Datagram {
    const char* from = "10.1.1.1";
    const char* to = "255.255.255.255";
    std::string payload = "announce";
    uint8_t ttl = 64;
    uint8_t protocol = 17;
    bool udpChecksum = true; // false: 0, the sender gave none

    Bytes Build() const
    {
        Bytes b(28 + payload.size(), 0);
        std::memcpy(b.data() + 28, payload.data(), payload.size());
        b[0] = 0x45, b[8] = ttl, b[9] = protocol;
        PutBigEndian16(&b[2], static_cast<uint16_t>(b.size()));
        PutBigEndian16(&b[4], 0x1c46); // identification
        const uint32_t source = Ip4(from), destination = Ip4(to);
        std::memcpy(&b[12], &source, 4);
        std::memcpy(&b[16], &destination, 4);
        PutBigEndian16(&b[20], 47624);
        PutBigEndian16(&b[22], 27015);
        PutBigEndian16(&b[24], static_cast<uint16_t>(b.size() - 20));
        if (udpChecksum) {
            const uint32_t pseudo = 17 + static_cast<uint32_t>(b.size() - 20) +
                                    (0xffff - InternetSum(b, 12, 20)); // the two addresses
            const uint16_t sum = InternetSum(b, 20, b.size(), pseudo);
            PutBigEndian16(&b[26], sum ? sum : 0xffff);
        }
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

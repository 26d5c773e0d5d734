// The captured-packet path from arbitrary bytes, as the forwarder's loop runs it: the
// headers are read, the accept test decides, and every datagram that would go out is
// re-addressed and serialised. What would be sent is checked against the input by a
// reading of its own: whole IPv4 and UDP headers, both checksums right, the payload and
// ports untouched. A datagram that should have been forwarded and was not also fails.
//
// The first input byte picks the test's own addresses; the rest is the packet as the
// capture hands it in, IPv4 header first.
#include "base/CIPHeader.h"
#include "base/CTCPHeader.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "forward/CForwarder.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace
{

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Get32(const uint8_t* p)
{
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value; // network byte order, as the headers keep addresses
}

// The one's complement sum of a byte run, folded; a correct checksum makes the
// sum over the covered bytes 0xffff.
uint32_t Sum(uint32_t sum, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += Get16(p + i);
    if (n & 1)
        sum += static_cast<uint32_t>(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Whether the packet is one the forwarder must re-send, read straight from the bytes.
bool ShouldForward(const uint8_t* p, size_t n, const std::vector<uint32_t>& own)
{
    if (n < 20 || (p[0] >> 4) != 4)
        return false;
    const size_t ihl = (p[0] & 0x0f) * 4u;
    const size_t total = Get16(p + 2);
    if (ihl < 20 || total < ihl || total > n || p[9] != 17)
        return false;
    if ((Get16(p + 6) & 0x3fff) != 0) // more fragments or an offset
        return false;
    if (total - ihl < 8)
        return false;
    const size_t udpLength = Get16(p + ihl + 4);
    if (udpLength <= 8 || udpLength > total - ihl) // no payload, or more than captured
        return false;
    if (Get32(p + 16) != 0xffffffffu)
        return false;
    for (uint32_t a : own)
        if (a == Get32(p + 12))
            return true;
    return false;
}

// Checks one datagram as the raw socket would send it to `destination`.
void CheckDatagram(const CUBuffer& out, const uint8_t* in, uint32_t destination)
{
    const uint8_t* d = out.GetData();
    const size_t n = out.GetDataLength();
    const size_t ihl = (in[0] & 0x0f) * 4u;
    const size_t udpLength = Get16(in + ihl + 4);
    Check(n == ihl + udpLength);
    Check(d[0] == in[0] && d[1] == in[1]);
    Check(Get16(d + 2) == n);
    Check(Sum(0, d, ihl) == 0xffff); // IPv4 header checksum
    Check(Get32(d + 12) == Get32(in + 12));
    Check(Get32(d + 16) == destination);
    Check(std::memcmp(d + 4, in + 4, 6) == 0);          // id, flags, TTL, protocol
    Check(std::memcmp(d + 20, in + 20, ihl - 20) == 0); // options as captured
    const uint8_t* udp = d + ihl;
    Check(std::memcmp(udp, in + ihl, 4) == 0); // both ports
    Check(Get16(udp + 4) == udpLength);
    Check(std::memcmp(udp + 8, in + ihl + 8, udpLength - 8) == 0);
    if (Get16(in + ihl + 6) == 0) {
        Check(Get16(udp + 6) == 0); // the sender gave none: none is added
        return;
    }
    Check(Get16(udp + 6) != 0);
    uint8_t pseudo[12];
    std::memcpy(pseudo, d + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = 17;
    pseudo[10] = static_cast<uint8_t>(udpLength >> 8);
    pseudo[11] = static_cast<uint8_t>(udpLength);
    Check(Sum(Sum(0, pseudo, sizeof pseudo), udp, udpLength) == 0xffff);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // Kept from input to input, as the forwarder keeps them from packet to packet.
    static CIPHeader ip;
    static CUDPHeader udp;
    static CTCPHeader tcp;
    static CUBuffer in;
    static CUBuffer out;

    const uint8_t* packet = data + 1;
    const size_t length = size - 1;
    std::vector<uint32_t> own{inet_addr("10.0.0.1")};
    if ((data[0] & 1) && length >= 20)
        own.push_back(Get32(packet + 12)); // the packet comes from this machine
    if (data[0] & 2)
        own.push_back(0xffffffffu);

    in.Clear();
    in.Append(packet, length);
    in >> ip;
    int payloadLength;
    if (ip.GetProtocol() == 6) {
        in >> tcp;
        payloadLength = tcp.GetPayloadLength();
    } else {
        in >> udp;
        payloadLength = udp.GetPayloadLength();
    }
    const bool forwarded = ip.GetProtocol() == 17 && ip.IsValid() && !ip.IsFragment() &&
                           udp.IsValid() && CForwarder::IsAccepted(ip, payloadLength, own);
    Check(forwarded == ShouldForward(packet, length, own));
    in.Clear();
    if (!forwarded)
        return 0;

    // Every checked user in turn gets the same header objects re-addressed.
    const uint32_t users[] = {inet_addr("10.0.0.2"), inet_addr("192.168.200.1"),
                              Get32(packet + 12) ^ 0x5a5a5a5au};
    for (uint32_t destination : users) {
        ip.SetDestination(destination);
        ip.PrepareUDPPacket(udp);
        out.Clear();
        out << ip;
        out << udp;
        CheckDatagram(out, packet, destination);
    }
    return 0;
}

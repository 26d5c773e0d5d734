// The captured-packet path from arbitrary bytes, as the forwarding loop runs it: read, accept
// test, then re-addressing for three users. A reading of its own decides what must be
// forwarded and checks each copy: IPv4 checksum right, only destination, checksums and a
// multicast TTL changed, a whole datagram's UDP checksum right, a first fragment's patched.
// Input: one byte of switches (own source, ForwardMore, destination is an interface's
// broadcast), then the packet as the capture hands it in, IPv4 header first.
#include "PacketBytes.h"
#include "base/CIPHeader.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "forward/CForwardFilter.h"

#define Check(condition) ((condition) ? void() : __builtin_trap())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static CIPHeader ip; // kept from input to input, as the loop keeps them from packet to packet
    static CUDPHeader udp;
    auto At = [](const Bytes& b, size_t i) {
        uint32_t v;
        std::memcpy(&v, &b[i], 4);
        return v;
    };
    // One's complement sum of `from` and an address's halves, folded and complemented.
    auto Plus = [](uint16_t from, uint32_t a) {
        Bytes b(4);
        std::memcpy(b.data(), &a, 4);
        return InternetSum(b, 0, 4, from);
    };
    const Bytes p(data + 1, data + size);
    const size_t n = p.size(), ihl = n ? (p[0] & 0x0fu) * 4 : 0,
                 total = n >= 4 ? GetBigEndian16(&p[2]) : 0;
    const bool whole = n >= 20 && p[0] >> 4 == 4 && ihl >= 20 && total >= ihl && total <= n;
    const uint32_t source = whole ? At(p, 12) : 0, destination = whole ? At(p, 16) : 0;
    const bool more = data[0] & 2, later = whole && (GetBigEndian16(&p[6]) & 0x1fff) != 0;
    const bool first = whole && !later && (p[6] & 0x20),
               hasUdp = whole && !later && total - ihl >= 8;
    const size_t udpLength = hasUdp ? GetBigEndian16(&p[ihl + 4]) : 0;
    const uint32_t group = ntohl(destination);
    const bool toForward =
        destination == 0xffffffffu ||
        (more &&
         ((data[0] & 4) || (group >> 28 == 0xe && group >> 8 != 0xe00000 && group != 0xeffffffa)));
    // 0.0.0.0 never counts as this machine's address (a DHCP request's source).
    const bool shouldForward =
        whole && ihl == 20 && p[9] == 17 && (data[0] & 1) && source != 0 && toForward &&
        (later ? total > ihl
               : hasUdp && total - ihl > 8 &&
                     (first ? udpLength > total - ihl : udpLength > 8 && udpLength <= total - ihl));

    CForwardFilter filter;
    filter.SetDestinations({(data[0] & 4) ? destination : ~destination}, more);
    filter.SetOwnAddresses({(data[0] & 1) ? source : ~source});
    CUBuffer in, out;
    in.Append(p.data(), n);
    in >> ip;
    udp.ReadAfter(ip, in);
    Check((filter.Accepts(ip, udp) != 0) == shouldForward);
    if (!shouldForward)
        return 0;
    for (uint32_t user : {Ip4("10.0.0.2"), Ip4("192.168.200.1"), source ^ 0x5a5a5a5au}) {
        ip.SetDestination(user);
        ip.PrepareUDPPacket(udp);
        out.Clear();
        out << ip << udp;
        const Bytes d(out.GetData(), out.GetData() + out.GetDataLength());
        const size_t length = first || later ? total : ihl + udpLength;
        Check(d.size() == length && GetBigEndian16(&d[2]) == length);
        Check(InternetSum(d, 0, ihl) == 0 && At(d, 12) == source && At(d, 16) == user);
        Check(d[8] == (group >> 28 == 0xe && p[8] < 64 ? 64 : p[8]));
        // Identification, fragment fields, protocol, options, ports, UDP length, payload kept.
        const size_t body = later ? ihl : ihl + 8;
        Check(!std::memcmp(&d[4], &p[4], 4) && d[9] == p[9] &&
              !std::memcmp(&d[20], &p[20], ihl - 20));
        Check(!std::memcmp(&d[body], &p[body], length - body) &&
              (later || !std::memcmp(&d[ihl], &p[ihl], 6)));
        const uint16_t checksum = later ? 0 : GetBigEndian16(&d[ihl + 6]),
                       sent = later ? 0 : GetBigEndian16(&p[ihl + 6]);
        if (later || sent == 0) {
            Check(checksum == sent); // none given: none added
        } else if (first) {
            // ~new + captured destination = ~captured + new destination, whatever came between;
            // in one's complement 0x0000 and 0xffff are both zero (a sum of 0 goes out as 0xffff)
            Check(checksum != 0 && Plus(uint16_t(~checksum), destination) % 0xffff ==
                                       Plus(uint16_t(~sent), user) % 0xffff);
        } else { // the pseudo-header: the addresses' sum, protocol and UDP length
            const uint32_t pseudo = uint16_t(~InternetSum(d, 12, 20)) + 17 + (length - ihl);
            Check(checksum != 0 && InternetSum(d, ihl, length, pseudo) == 0);
        }
    }
    return 0;
}

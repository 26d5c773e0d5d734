// Re-addressing of captured IPv4/UDP datagrams on fixed bytes: only the destination and what
// follows from it (lengths, checksums) may change, and anything not whole is refused.

#include "base/CIPHeader.h"
#include "base/CTCPHeader.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "forward/CForwarder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char* text)
{
    Bytes bytes;
    for (const char* p = text; p[0] && p[1]; p += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
    return bytes;
}

Bytes With(Bytes bytes, std::initializer_list<std::pair<size_t, uint8_t>> changes)
{
    for (const auto& [at, value] : changes)
        bytes[at] = value;
    return bytes;
}

Bytes Cut(Bytes bytes, size_t length)
{
    bytes.resize(length);
    return bytes;
}

uint32_t Address(const char* dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

// A game's announcement captured with transmit offload (the UDP checksum holds only the
// pseudo-header sum), 192.168.1.20:47624 -> 255.255.255.255:27015; its copy for 10.0.0.5.
const Bytes kCapturedPartial = Hex("450000351c46400040115cb6c0a80114ffffffff"
                                   "ba0869870021c1ee"
                                   "ffffffff54536f7572636520456e67696e6520517565727900");
const Bytes kExpectedPartial = Hex("450000351c464000401152b1c0a801140a000005"
                                   "ba086987002151a1"
                                   "ffffffff54536f7572636520456e67696e6520517565727900");

// The header objects are reused for every packet and every user, as the forwarder does.
struct Packet {
    CIPHeader ip;
    CUDPHeader udp;

    Packet& Parse(const Bytes& bytes)
    {
        CUBuffer in;
        in.Append(bytes.data(), bytes.size());
        in >> ip;
        in >> udp;
        return *this;
    }
    // Re-addresses to each destination in turn and streams the last copy out.
    Bytes Readdress(std::initializer_list<const char*> destinations)
    {
        for (const char* destination : destinations) {
            ip.SetDestination(Address(destination));
            ip.PrepareUDPPacket(udp);
        }
        CUBuffer out;
        out << ip;
        out << udp;
        return Bytes(out.GetData(), out.GetData() + out.GetDataLength());
    }
};

} // namespace

TEST(Checksum, MatchesKnownVectors)
{
    auto sum = [](const Bytes& bytes) { return CIPHeader::Checksum(bytes.data(), bytes.size()); };
    EXPECT_EQ(sum(Hex("0001f203f4f5f6f7")), 0x220d); // RFC 1071's example: the sum is 0xddf2
    // A textbook IPv4 header: 0xb861 with the field zeroed, 0 with it in place.
    EXPECT_EQ(sum(Hex("450000730000400040110000c0a80001c0a800c7")), 0xb861);
    EXPECT_EQ(sum(Hex("45000073000040004011b861c0a80001c0a800c7")), 0);
    EXPECT_EQ(sum(Hex("010203")), 0xfbfd); // an odd last byte is the high byte of a word
}

TEST(Readdress, CopiesCarryTheRightBytes)
{
    const Bytes noChecksum =
        Hex("450000211c46400040115ccac0a80114ffffffff13881389000d000068656c6c6f");
    struct Case {
        const char* what;
        Bytes captured;
        const char* to;
        Bytes expected;
    };
    const Case cases[] = {
        {"a partial checksum from offload is computed afresh", kCapturedPartial, "10.0.0.5",
         kExpectedPartial},
        {"a captured zero checksum stays zero", noChecksum, "10.0.0.6",
         Hex("450000211c464000401152c4c0a801140a00000613881389000d000068656c6c6f")},
        {"link padding behind the datagram is dropped", Cut(noChecksum, 60), "10.0.0.6",
         Hex("450000211c464000401152c4c0a801140a00000613881389000d000068656c6c6f")},
        {"a checksum computing to 0 goes out as 0xffff",
         Hex("450000201c464000401112840a010203ffffffff04d210e1000c0c215a5a79be"), "10.0.0.7",
         Hex("450000201c4640004011087d0a0102030a00000704d210e1000cffff5a5a79be")},
        {"IP options are kept and covered by the header checksum",
         Hex("460000241c4640004011dd65ac100009ffffffff9404000000090009000cac366f707421"),
         "10.0.0.8",
         Hex("460000241c4640004011d35dac1000090a0000089404000000090009000c66116f707421")},
    };
    for (const Case& c : cases) {
        Packet packet;
        packet.Parse(c.captured);
        ASSERT_TRUE(packet.ip.IsValid() && packet.udp.IsValid()) << c.what;
        EXPECT_EQ(packet.Readdress({c.to}), c.expected) << c.what;
        EXPECT_EQ(packet.Readdress({"10.9.9.9", c.to}), c.expected) << c.what << ", second user";
    }
}

TEST(Malformed, TruncatedOrBrokenHeadersAreNotForwardable)
{
    const Bytes& good = kCapturedPartial;
    struct Case {
        const char* what;
        Bytes bytes;
        bool ipValid = false;
    };
    const Case cases[] = {
        {"empty", {}},
        {"shorter than an IPv4 header", Cut(good, 19)},
        {"IHL below 5", With(good, {{0, 0x44}})},
        {"IHL beyond the captured bytes", Cut(With(good, {{0, 0x4f}}), 40)},
        {"not version 4", With(good, {{0, 0x65}})},
        {"total length beyond what was captured", Cut(good, good.size() - 1)},
        {"total length below the header length", With(good, {{2, 0}, {3, 16}})},
        {"UDP length beyond the datagram", With(good, {{25, 0x22}}), true},
        {"UDP length below its header", With(good, {{25, 0x07}}), true},
    };
    Packet packet;
    for (const Case& c : cases) {
        ASSERT_TRUE(packet.Parse(good).udp.IsValid()); // what the last packet left behind
        packet.Parse(c.bytes);
        EXPECT_EQ(packet.ip.IsValid() != 0, c.ipValid) << c.what;
        EXPECT_FALSE(packet.udp.IsValid()) << c.what;
        EXPECT_EQ(packet.udp.GetPayloadLength(), 0) << c.what;
    }
}

TEST(Malformed, EveryTruncationAndByteChangeStaysWithinTheCapture)
{
    Packet packet;
    for (size_t length = 0; length < kCapturedPartial.size(); ++length) {
        packet.Parse(Cut(kCapturedPartial, length));
        EXPECT_FALSE(packet.ip.IsValid() && packet.udp.IsValid()) << "cut to " << length;
    }
    // Whatever a byte says, a datagram taken as whole never claims more than was captured
    // (the sanitizer builds watch the reads).
    for (size_t at = 0; at < kCapturedPartial.size(); ++at) {
        for (uint8_t value : {0x00, 0x01, 0x0f, 0x45, 0x80, 0xf0, 0xff}) {
            const Bytes changed = With(kCapturedPartial, {{at, value}});
            if (!packet.Parse(changed).ip.IsValid() || !packet.udp.IsValid())
                continue;
            const size_t length = packet.Readdress({"10.0.0.5"}).size();
            EXPECT_LE(length, changed.size()) << "byte " << at;
            EXPECT_EQ(length, static_cast<size_t>(packet.ip.GetTotalLength())) << "byte " << at;
        }
    }
}

TEST(Malformed, FragmentsAreRecognised)
{
    Packet packet;
    EXPECT_FALSE(packet.Parse(kCapturedPartial).ip.IsFragment()); // DF set, no offset
    EXPECT_TRUE(packet.Parse(With(kCapturedPartial, {{6, 0x20}, {7, 0}})).ip.IsFragment());
    EXPECT_TRUE(packet.Parse(With(kCapturedPartial, {{6, 0}, {7, 0xb9}})).ip.IsFragment());
}

TEST(AcceptTest, OnlyOwnBroadcastsWithPayload)
{
    const std::vector<uint32_t> own = {Address("127.0.0.1"), Address("192.168.1.20")};
    Packet packet;
    const int payload = packet.Parse(kCapturedPartial).udp.GetPayloadLength();
    ASSERT_EQ(payload, 25);
    EXPECT_TRUE(CForwarder::IsAccepted(packet.ip, payload, own));
    EXPECT_FALSE(CForwarder::IsAccepted(packet.ip, 0, own)) << "empty payload";
    EXPECT_FALSE(CForwarder::IsAccepted(packet.ip, payload, {Address("192.168.1.21")}))
        << "another machine's broadcast";
    for (const char* destination : {"192.168.1.255", "192.168.1.7"}) {
        packet.ip.SetDestination(Address(destination));
        EXPECT_FALSE(CForwarder::IsAccepted(packet.ip, payload, own)) << destination;
    }
}

TEST(Tcp, PayloadRunsToTheEndOfThePacket)
{
    // IPv4 (protocol 6), a 24-byte TCP header, 3 bytes "abc", one byte of link padding.
    const Bytes bytes = Hex("4500002f0001000040060000c0a80114ffffffff"
                            "04d2005000000001000000006018ffff0000000001010101"
                            "61626300");
    CIPHeader ip;
    CTCPHeader tcp;
    for (const Bytes& packet : {bytes, With(bytes, {{32, 0xf0}})}) { // 60-byte header: too long
        CUBuffer in;
        in.Append(packet.data(), packet.size());
        in >> ip;
        in >> tcp;
        ASSERT_TRUE(ip.IsValid());
        EXPECT_EQ(ip.GetProtocol(), 6);
        EXPECT_EQ(tcp.IsValid() != 0, packet == bytes);
        EXPECT_EQ(tcp.GetPayloadLength(), packet == bytes ? 3 : 0);
    }
}

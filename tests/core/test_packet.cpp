// Re-addressing of captured IPv4/UDP datagrams, on fixed byte arrays: what goes on the
// wire must be the captured datagram with only the destination and what follows from
// it (lengths, checksums) changed, and anything that is not a whole datagram must be
// recognised as such.

#include "base/CIPHeader.h"
#include "base/CTCPHeader.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "forward/CForwarder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

// A game's announcement as captured on its way out with transmit offload: the UDP
// checksum field holds only the pseudo-header sum. 192.168.1.20:47624 ->
// 255.255.255.255:27015.
const Bytes kCapturedPartial = {0x45, 0x00, 0x00, 0x35, 0x1c, 0x46, 0x40, 0x00, 0x40, 0x11, 0x5c,
                                0xb6, 0xc0, 0xa8, 0x01, 0x14, 0xff, 0xff, 0xff, 0xff, 0xba, 0x08,
                                0x69, 0x87, 0x00, 0x21, 0xc1, 0xee, 0xff, 0xff, 0xff, 0xff, 0x54,
                                0x53, 0x6f, 0x75, 0x72, 0x63, 0x65, 0x20, 0x45, 0x6e, 0x67, 0x69,
                                0x6e, 0x65, 0x20, 0x51, 0x75, 0x65, 0x72, 0x79, 0x00};
// The same datagram as it must leave for 10.0.0.5.
const Bytes kExpectedPartial = {0x45, 0x00, 0x00, 0x35, 0x1c, 0x46, 0x40, 0x00, 0x40, 0x11, 0x52,
                                0xb1, 0xc0, 0xa8, 0x01, 0x14, 0x0a, 0x00, 0x00, 0x05, 0xba, 0x08,
                                0x69, 0x87, 0x00, 0x21, 0x51, 0xa1, 0xff, 0xff, 0xff, 0xff, 0x54,
                                0x53, 0x6f, 0x75, 0x72, 0x63, 0x65, 0x20, 0x45, 0x6e, 0x67, 0x69,
                                0x6e, 0x65, 0x20, 0x51, 0x75, 0x65, 0x72, 0x79, 0x00};

// A sender that gave no UDP checksum (0), and its copy for 10.0.0.6.
const Bytes kCapturedNoChecksum = {0x45, 0x00, 0x00, 0x21, 0x1c, 0x46, 0x40, 0x00, 0x40,
                                   0x11, 0x5c, 0xca, 0xc0, 0xa8, 0x01, 0x14, 0xff, 0xff,
                                   0xff, 0xff, 0x13, 0x88, 0x13, 0x89, 0x00, 0x0d, 0x00,
                                   0x00, 0x68, 0x65, 0x6c, 0x6c, 0x6f};
const Bytes kExpectedNoChecksum = {0x45, 0x00, 0x00, 0x21, 0x1c, 0x46, 0x40, 0x00, 0x40,
                                   0x11, 0x52, 0xc4, 0xc0, 0xa8, 0x01, 0x14, 0x0a, 0x00,
                                   0x00, 0x06, 0x13, 0x88, 0x13, 0x89, 0x00, 0x0d, 0x00,
                                   0x00, 0x68, 0x65, 0x6c, 0x6c, 0x6f};

// A payload chosen so that the checksum for 10.0.0.7 computes to 0, which must go out
// as 0xffff.
const Bytes kCapturedComputesZero = {
    0x45, 0x00, 0x00, 0x20, 0x1c, 0x46, 0x40, 0x00, 0x40, 0x11, 0x12, 0x84, 0x0a, 0x01, 0x02, 0x03,
    0xff, 0xff, 0xff, 0xff, 0x04, 0xd2, 0x10, 0xe1, 0x00, 0x0c, 0x0c, 0x21, 0x5a, 0x5a, 0x79, 0xbe};
const Bytes kExpectedComputesZero = {
    0x45, 0x00, 0x00, 0x20, 0x1c, 0x46, 0x40, 0x00, 0x40, 0x11, 0x08, 0x7d, 0x0a, 0x01, 0x02, 0x03,
    0x0a, 0x00, 0x00, 0x07, 0x04, 0xd2, 0x10, 0xe1, 0x00, 0x0c, 0xff, 0xff, 0x5a, 0x5a, 0x79, 0xbe};

// IHL 6 with a router-alert option, and its copy for 10.0.0.8.
const Bytes kCapturedWithOption = {0x46, 0x00, 0x00, 0x24, 0x1c, 0x46, 0x40, 0x00, 0x40,
                                   0x11, 0xdd, 0x65, 0xac, 0x10, 0x00, 0x09, 0xff, 0xff,
                                   0xff, 0xff, 0x94, 0x04, 0x00, 0x00, 0x00, 0x09, 0x00,
                                   0x09, 0x00, 0x0c, 0xac, 0x36, 0x6f, 0x70, 0x74, 0x21};
const Bytes kExpectedWithOption = {0x46, 0x00, 0x00, 0x24, 0x1c, 0x46, 0x40, 0x00, 0x40,
                                   0x11, 0xd3, 0x5d, 0xac, 0x10, 0x00, 0x09, 0x0a, 0x00,
                                   0x00, 0x08, 0x94, 0x04, 0x00, 0x00, 0x00, 0x09, 0x00,
                                   0x09, 0x00, 0x0c, 0x66, 0x11, 0x6f, 0x70, 0x74, 0x21};

uint32_t Address(const char* dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

struct Parsed {
    CIPHeader ip;
    CUDPHeader udp;
};

void Parse(const Bytes& bytes, Parsed& packet)
{
    CUBuffer in;
    in.Append(bytes.data(), bytes.size());
    in >> packet.ip;
    in >> packet.udp;
}

// Streams the packet out the way a user's copy is built.
Bytes Readdress(const Bytes& captured, const char* destination)
{
    Parsed packet;
    Parse(captured, packet);
    EXPECT_TRUE(packet.ip.IsValid());
    EXPECT_TRUE(packet.udp.IsValid());
    packet.ip.SetDestination(Address(destination));
    packet.ip.PrepareUDPPacket(packet.udp);
    CUBuffer out;
    out << packet.ip;
    out << packet.udp;
    return Bytes(out.GetData(), out.GetData() + out.GetDataLength());
}

} // namespace

TEST(Checksum, MatchesKnownVectors)
{
    // RFC 1071's worked example: the sum is 0xddf2.
    const Bytes rfc1071 = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(CIPHeader::Checksum(rfc1071.data(), rfc1071.size()), 0x220d);

    // A textbook IPv4 header with its checksum field zeroed gives 0xb861; with the
    // checksum in place the whole header sums to 0.
    Bytes header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                    0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(CIPHeader::Checksum(header.data(), header.size()), 0xb861);
    header[10] = 0xb8;
    header[11] = 0x61;
    EXPECT_EQ(CIPHeader::Checksum(header.data(), header.size()), 0);

    // An odd last byte counts as the high byte of a word padded with zero.
    const Bytes odd = {0x01, 0x02, 0x03};
    EXPECT_EQ(CIPHeader::Checksum(odd.data(), odd.size()), 0xfbfd);
}

TEST(Readdress, PartialChecksumFromOffloadIsComputedAfresh)
{
    EXPECT_EQ(Readdress(kCapturedPartial, "10.0.0.5"), kExpectedPartial);
}

TEST(Readdress, CapturedZeroChecksumStaysZero)
{
    EXPECT_EQ(Readdress(kCapturedNoChecksum, "10.0.0.6"), kExpectedNoChecksum);
}

TEST(Readdress, ComputedZeroChecksumIsSentAsFFFF)
{
    EXPECT_EQ(Readdress(kCapturedComputesZero, "10.0.0.7"), kExpectedComputesZero);
}

TEST(Readdress, OptionsAreKeptAndCoveredByTheHeaderChecksum)
{
    EXPECT_EQ(Readdress(kCapturedWithOption, "10.0.0.8"), kExpectedWithOption);
}

TEST(Readdress, OnlyDestinationAndChecksumsChange)
{
    const Bytes out = Readdress(kCapturedPartial, "10.0.0.5");
    ASSERT_EQ(out.size(), kCapturedPartial.size());
    for (size_t i = 0; i < out.size(); ++i) {
        const bool mayChange = (i >= 10 && i <= 11) || (i >= 16 && i <= 19) || (i >= 26 && i <= 27);
        if (!mayChange) {
            EXPECT_EQ(out[i], kCapturedPartial[i]) << "byte " << i;
        }
    }
}

TEST(Readdress, OneSetOfHeadersServesEveryUser)
{
    // The forwarder re-addresses the same header objects for each user in turn.
    Parsed packet;
    Parse(kCapturedPartial, packet);
    packet.ip.SetDestination(Address("10.9.9.9"));
    packet.ip.PrepareUDPPacket(packet.udp);
    packet.ip.SetDestination(Address("10.0.0.5"));
    packet.ip.PrepareUDPPacket(packet.udp);
    CUBuffer out;
    out << packet.ip;
    out << packet.udp;
    EXPECT_EQ(Bytes(out.GetData(), out.GetData() + out.GetDataLength()), kExpectedPartial);
}

TEST(Readdress, LinkPaddingBehindTheDatagramIsDropped)
{
    Bytes padded = kCapturedNoChecksum;
    padded.resize(60, 0); // an Ethernet minimum frame's padding
    EXPECT_EQ(Readdress(padded, "10.0.0.6"), kExpectedNoChecksum);
}

TEST(Readdress, FieldsReadAsCaptured)
{
    Parsed packet;
    Parse(kCapturedPartial, packet);
    EXPECT_EQ(packet.ip.GetProtocol(), 17);
    EXPECT_EQ(packet.ip.GetSource(), Address("192.168.1.20"));
    EXPECT_EQ(packet.ip.GetDestination(), Address("255.255.255.255"));
    EXPECT_EQ(packet.udp.GetDestinationPort(), htons(27015));
    EXPECT_EQ(packet.udp.GetPayloadLength(), 25);
    EXPECT_FALSE(packet.ip.IsFragment());
}

TEST(Malformed, TruncatedOrBrokenHeadersAreNotForwardable)
{
    struct Case {
        const char* what;
        Bytes bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"shorter than an IPv4 header",
                     Bytes(kCapturedPartial.begin(), kCapturedPartial.begin() + 19)});
    Bytes ihl4 = kCapturedPartial;
    ihl4[0] = 0x44;
    cases.push_back({"IHL below 5", ihl4});
    Bytes ihl15 = kCapturedPartial;
    ihl15[0] = 0x4f;
    cases.push_back({"IHL beyond the captured bytes", Bytes(ihl15.begin(), ihl15.begin() + 40)});
    Bytes version6 = kCapturedPartial;
    version6[0] = 0x65;
    cases.push_back({"not version 4", version6});
    cases.push_back({"total length beyond what was captured",
                     Bytes(kCapturedPartial.begin(), kCapturedPartial.end() - 1)});
    Bytes totalBelowHeader = kCapturedPartial;
    totalBelowHeader[2] = 0;
    totalBelowHeader[3] = 16;
    cases.push_back({"total length below the header length", totalBelowHeader});

    for (const Case& c : cases) {
        Parsed packet;
        Parse(c.bytes, packet);
        EXPECT_FALSE(packet.ip.IsValid()) << c.what;
        EXPECT_FALSE(packet.udp.IsValid()) << c.what;
        EXPECT_EQ(packet.udp.GetPayloadLength(), 0) << c.what;
    }
}

TEST(Malformed, EveryTruncationAndByteChangeStaysWithinTheCapture)
{
    // Only the whole datagram is forwardable; any cut is not.
    for (size_t length = 0; length < kCapturedPartial.size(); ++length) {
        Parsed packet;
        Parse(Bytes(kCapturedPartial.begin(), kCapturedPartial.begin() + length), packet);
        EXPECT_FALSE(packet.ip.IsValid() && packet.udp.IsValid()) << "cut to " << length;
    }
    // Whatever a byte says, a datagram taken as whole never claims more than was
    // captured (the sanitizer builds watch the reads).
    for (size_t at = 0; at < kCapturedPartial.size(); ++at) {
        for (uint8_t value : {0x00, 0x01, 0x0f, 0x45, 0x80, 0xf0, 0xff}) {
            Bytes changed = kCapturedPartial;
            changed[at] = value;
            Parsed packet;
            Parse(changed, packet);
            if (!packet.ip.IsValid() || !packet.udp.IsValid())
                continue;
            packet.ip.SetDestination(Address("10.0.0.5"));
            packet.ip.PrepareUDPPacket(packet.udp);
            CUBuffer out;
            out << packet.ip;
            out << packet.udp;
            EXPECT_LE(out.GetDataLength(), changed.size()) << "byte " << at;
            EXPECT_EQ(out.GetDataLength(), static_cast<size_t>(packet.ip.GetTotalLength()))
                << "byte " << at;
        }
    }
}

TEST(Malformed, UdpLengthMustFitTheDatagram)
{
    Bytes tooLong = kCapturedPartial;
    tooLong[25] = 0x22; // one more than the 33 bytes behind the IPv4 header
    Parsed packet;
    Parse(tooLong, packet);
    EXPECT_TRUE(packet.ip.IsValid());
    EXPECT_FALSE(packet.udp.IsValid());
    EXPECT_EQ(packet.udp.GetPayloadLength(), 0);

    Bytes tooShort = kCapturedPartial;
    tooShort[25] = 0x07;
    Parse(tooShort, packet);
    EXPECT_FALSE(packet.udp.IsValid());
}

TEST(Malformed, FragmentsAreRecognised)
{
    Parsed packet;
    Parse(kCapturedPartial, packet); // DF set, no offset: a whole datagram
    EXPECT_FALSE(packet.ip.IsFragment());

    Bytes first = kCapturedPartial;
    first[6] = 0x20; // more fragments
    first[7] = 0x00;
    Parse(first, packet);
    EXPECT_TRUE(packet.ip.IsFragment());

    Bytes later = kCapturedPartial;
    later[6] = 0x00;
    later[7] = 0xb9; // offset 185 * 8, last fragment
    Parse(later, packet);
    EXPECT_TRUE(packet.ip.IsFragment());
}

TEST(AcceptTest, OnlyOwnBroadcastsWithPayload)
{
    const std::vector<uint32_t> own = {Address("127.0.0.1"), Address("192.168.1.20")};
    Parsed packet;
    Parse(kCapturedPartial, packet);
    EXPECT_TRUE(CForwarder::IsAccepted(packet.ip, packet.udp.GetPayloadLength(), own));
    EXPECT_FALSE(CForwarder::IsAccepted(packet.ip, 0, own)) << "empty payload";
    EXPECT_FALSE(
        CForwarder::IsAccepted(packet.ip, packet.udp.GetPayloadLength(), {Address("192.168.1.21")}))
        << "another machine's broadcast";

    packet.ip.SetDestination(Address("192.168.1.255"));
    EXPECT_FALSE(CForwarder::IsAccepted(packet.ip, packet.udp.GetPayloadLength(), own))
        << "subnet broadcast";
    packet.ip.SetDestination(Address("192.168.1.7"));
    EXPECT_FALSE(CForwarder::IsAccepted(packet.ip, packet.udp.GetPayloadLength(), own))
        << "unicast";
}

TEST(Tcp, PayloadRunsToTheEndOfThePacket)
{
    // 20-byte IPv4 header (protocol 6), 24-byte TCP header (one option word), 3 bytes.
    Bytes bytes = {0x45, 0x00, 0x00, 0x2f, 0x00, 0x01, 0x00, 0x00, 0x40, 0x06, 0x00, 0x00,
                   0xc0, 0xa8, 0x01, 0x14, 0xff, 0xff, 0xff, 0xff, 0x04, 0xd2, 0x00, 0x50,
                   0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x60, 0x18, 0xff, 0xff,
                   0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x01, 'a',  'b',  'c',  0x00};
    CUBuffer in;
    in.Append(bytes.data(), bytes.size()); // one padding byte behind the packet
    CIPHeader ip;
    CTCPHeader tcp;
    in >> ip;
    in >> tcp;
    ASSERT_TRUE(ip.IsValid());
    EXPECT_EQ(ip.GetProtocol(), 6);
    EXPECT_TRUE(tcp.IsValid());
    EXPECT_EQ(tcp.GetPayloadLength(), 3);

    Bytes badOffset = bytes;
    badOffset[32] = 0xf0; // 60-byte header, more than there is
    CUBuffer in2;
    in2.Append(badOffset.data(), badOffset.size());
    in2 >> ip;
    in2 >> tcp;
    EXPECT_FALSE(tcp.IsValid());
    EXPECT_EQ(tcp.GetPayloadLength(), 0);
}

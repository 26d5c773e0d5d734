// Re-addressing and the accept test on fixed bytes: only the destination and what follows
// from it (checksums, lengths, a multicast copy's TTL) may change; anything malformed is
// refused; address texts mean the same in the editor and on the wire.

#include "PacketBytes.h"
#include "base/CIPHeader.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "base/CUSocket.h"
#include "forward/CForwardFilter.h"
#include "users/CUserSocket.h"

#include <gtest/gtest.h>

namespace
{

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

// Captured with transmit offload (the UDP checksum holds only the pseudo-header sum).
const Bytes Offloaded = Hex("450000351c46400040115cb6c0a80114ffffffffba0869870021c1eeffffffff54536f"
                            "7572636520456e67696e6520517565727900");

// The header objects are reused for every packet and every user, as the forwarder does.
struct Packet {
    CIPHeader ip;
    CUDPHeader udp;
    Packet& Parse(const Bytes& bytes)
    {
        CUBuffer in;
        in.Append(bytes.data(), bytes.size());
        in >> ip;
        udp.ReadAfter(ip, in);
        return *this;
    }
    // Re-addresses to each destination in turn and streams the last copy out.
    Bytes Readdress(std::initializer_list<const char*> destinations)
    {
        for (const char* destination : destinations) {
            ip.SetDestination(Ip4(destination));
            ip.PrepareUDPPacket(udp);
        }
        CUBuffer out;
        out << ip << udp;
        return Bytes(out.GetData(), out.GetData() + out.GetDataLength());
    }
};

} // namespace

TEST(Checksum, MatchesKnownVectors)
{
    const std::pair<const char*, uint16_t> cases[] = {
        {"0001f203f4f5f6f7", 0x220d},                         // RFC 1071's example
        {"450000730000400040110000c0a80001c0a800c7", 0xb861}, // a textbook IPv4 header
        {"45000073000040004011b861c0a80001c0a800c7", 0},      // the same with its sum in place
        {"010203", 0xfbfd},                                   // an odd last byte is a high byte
        {"ffffffffffff0002", 0xfffd}, // carries twice: folding once would give 0xfffe
    };
    for (const auto& [hex, sum] : cases)
        EXPECT_EQ(CIPHeader::Checksum(Hex(hex).data(), Hex(hex).size()), sum) << hex;
}

TEST(Readdress, CopiesCarryTheRightBytes)
{
    const Datagram plain, none{.udpChecksum = false}, group{.to = "224.0.2.60", .ttl = 1};
    Bytes padded = none.Build();
    padded.resize(60);
    const Bytes big = Datagram{.payload = std::string(2972, 'x')}.Build(); // 3,000 bytes
    struct Case {
        const char* what;
        Bytes captured, expected;
        const char* user = "10.0.0.5";
    };
    auto to = [](Datagram d, uint8_t ttl = 0) {
        d.to = "10.0.0.5";
        d.ttl = ttl ? ttl : d.ttl;
        return d.Build();
    };
    const Case cases[] = {
        {"a partial checksum from offload is computed afresh", Offloaded,
         Hex("450000351c464000401152b1c0a801140a000005ba086987002151a1ffffffff54536f7572636520456e"
             "67696e6520517565727900")},
        {"a whole datagram", plain.Build(), to(plain)},
        {"a captured zero checksum stays zero", none.Build(), to(none)},
        {"link padding behind the datagram is dropped", padded, to(none)},
        {"a checksum computing to 0 goes out as 0xffff",
         Hex("450000201c464000401112840a010203ffffffff04d210e1000c0c215a5a79be"),
         Hex("450000201c4640004011087d0a0102030a00000704d210e1000cffff5a5a79be"), "10.0.0.7"},
        {"IP options are kept and covered by the header checksum",
         Hex("460000241c4640004011dd65ac100009ffffffff9404000000090009000cac366f707421"),
         Hex("460000241c4640004011d35dac1000090a0000089404000000090009000c66116f707421"),
         "10.0.0.8"},
        {"a multicast copy gets TTL 64", group.Build(), to(group, 64)},
        {"a multicast TTL above 64 is kept", Datagram{.to = "224.0.2.60", .ttl = 99}.Build(),
         to(Datagram{.ttl = 99})},
        {"a broadcast keeps TTL 1", Datagram{.ttl = 1}.Build(), to(Datagram{.ttl = 1})},
        {"first fragment: UDP checksum updated, not recomputed", Fragment(big, 0, 1480),
         Fragment(to(Datagram{.payload = std::string(2972, 'x')}), 0, 1480)},
        {"first fragment without a checksum keeps 0",
         Fragment(Datagram{.payload = std::string(2972, 'x'), .udpChecksum = false}.Build(), 0, 16),
         Fragment(to(Datagram{.payload = std::string(2972, 'x'), .udpChecksum = false}), 0, 16)},
        {"middle fragment: bytes as captured, new header checksum", Fragment(big, 1480, 1480),
         Fragment(to(Datagram{.payload = std::string(2972, 'x')}), 1480, 1480)},
        {"last fragment of a multicast datagram gets TTL 64",
         Fragment(Datagram{.to = "224.0.2.60", .payload = std::string(2972, 'x'), .ttl = 1}.Build(),
                  2960, 20),
         Fragment(to(Datagram{.payload = std::string(2972, 'x')}, 64), 2960, 20)},
    };
    for (const Case& c : cases) {
        Packet packet;
        ASSERT_TRUE(packet.Parse(c.captured).ip.IsValid() && packet.udp.IsValid()) << c.what;
        EXPECT_EQ(packet.Readdress({c.user}), c.expected) << c.what;
        EXPECT_EQ(packet.Readdress({"10.9.9.9", c.user}), c.expected) << c.what << ", 3rd user";
    }
}

TEST(Malformed, TruncatedOrBrokenHeadersAreNotForwardable)
{
    const Bytes& good = Offloaded;
    const Bytes big = Datagram{.payload = std::string(2972, 'x')}.Build();
    const std::pair<const char*, Bytes> cases[] = {
        {"empty", {}},
        {"shorter than an IPv4 header", Cut(good, 19)},
        {"IHL below 5", With(good, {{0, 0x44}})},
        {"IHL beyond the captured bytes", Cut(With(good, {{0, 0x4f}}), 40)},
        {"not version 4", With(good, {{0, 0x65}})},
        {"total length beyond what was captured", Cut(good, good.size() - 1)},
        {"total length below the header length", With(good, {{2, 0}, {3, 16}})},
        {"UDP length beyond the datagram", With(good, {{25, 0x22}})},
        {"UDP length below its header", With(good, {{25, 0x07}})},
        {"first fragment cut inside the UDP header", Fragment(big, 0, 4)},
        {"first fragment whose UDP length says it is all there",
         With(Fragment(big, 0, 1480), {{24, 0x05}, {25, 0xc8}})},
    };
    Packet packet;
    for (const auto& [what, bytes] : cases) {
        ASSERT_TRUE(packet.Parse(good).udp.IsValid()); // what the last packet left behind
        EXPECT_FALSE(packet.Parse(bytes).udp.IsValid()) << what;
        EXPECT_EQ(packet.udp.GetPayloadLength(), 0) << what;
    }
}

TEST(Malformed, EveryTruncationAndByteChangeStaysWithinTheCapture)
{
    Packet packet;
    for (size_t length = 0; length < Offloaded.size(); ++length)
        EXPECT_FALSE(packet.Parse(Cut(Offloaded, length)).udp.IsValid()) << "cut to " << length;
    // Whatever a byte says, a copy never claims more than was captured (the sanitizer
    // builds watch the reads).
    for (size_t at = 0; at < Offloaded.size(); ++at)
        for (uint8_t value : {0x00, 0x01, 0x0f, 0x20, 0x45, 0x80, 0xf0, 0xff}) {
            const Bytes changed = With(Offloaded, {{at, value}});
            if (!packet.Parse(changed).ip.IsValid() || !packet.udp.IsValid())
                continue;
            const Bytes copy = packet.Readdress({"10.0.0.5"});
            EXPECT_LE(copy.size(), changed.size()) << "byte " << at;
            EXPECT_EQ(copy.size(), static_cast<size_t>(packet.ip.GetTotalLength())) << at;
        }
}

TEST(AcceptTest, OwnBroadcastsAlwaysSubnetsAndGamesGroupsWithTheSwitch)
{
    const Bytes big = Datagram{.payload = std::string(2972, 'x')}.Build();
    const struct {
        const char* what;
        Bytes packet;
        bool off, on; // accepted with ForwardMore 0, 1
    } cases[] = {
        {"own broadcast", Datagram{}.Build(), true, true},
        {"empty payload", Datagram{.payload = ""}.Build(), false, false},
        {"another machine's broadcast", Datagram{.from = "10.1.1.2"}.Build(), false, false},
        {"TCP", Datagram{.protocol = 6}.Build(), false, false},
        {"unicast", Datagram{.to = "10.1.1.7"}.Build(), false, false},
        {"configured subnet broadcast", Datagram{.to = "10.1.1.63"}.Build(), false, true},
        {"all-ones-host broadcast", Datagram{.to = "10.2.255.255"}.Build(), false, true},
        {"a game's group", Datagram{.to = "224.0.2.60"}.Build(), false, true},
        {"mDNS, link-local control", Datagram{.to = "224.0.0.251"}.Build(), false, false},
        {"SSDP", Datagram{.to = "239.255.255.250"}.Build(), false, false},
        {"another machine's group", Datagram{.from = "10.9.9.9", .to = "224.0.2.60"}.Build(), false,
         false},
        {"first fragment", Fragment(big, 0, 1480), true, true},
        {"later fragment, by its IPv4 fields", Fragment(big, 1480, 1480), true, true},
        {"later fragment of another machine", Fragment(With(big, {{15, 2}}), 2960, 20), false,
         false},
    };
    const std::vector<uint32_t> own = {Ip4("127.0.0.1"), Ip4("10.1.1.1")};
    const std::vector<uint32_t> broadcasts = {Ip4("10.1.1.63"), Ip4("10.2.255.255")};
    Packet packet;
    for (const auto& c : cases)
        for (int more : {0, 1}) {
            CForwardFilter filter;
            filter.SetDestinations(broadcasts, more);
            filter.SetOwnAddresses(own);
            packet.Parse(c.packet);
            EXPECT_EQ(filter.Accepts(packet.ip, packet.udp) != 0, more ? c.on : c.off)
                << c.what << ", ForwardMore=" << more;
        }
    // A copy that the capture would take in again is never sent: it would loop for ever.
    const std::tuple<const char*, bool, bool> destinations[] = {
        {"0.0.0.0", false, false},   {"255.255.255.255", false, false}, {"10.1.1.63", true, false},
        {"224.0.2.60", true, false}, {"224.0.0.251", true, true},       {"10.0.0.5", true, true}};
    for (const auto& [address, off, on] : destinations)
        for (int more : {0, 1}) {
            CForwardFilter filter;
            filter.SetDestinations(broadcasts, more);
            EXPECT_EQ(filter.IsDestination(Ip4(address)) != 0, more ? on : off) << address << more;
        }
    // The configured broadcast wins; without one all host bits are set; a /32 has none.
    EXPECT_EQ(CUSocket::BroadcastOf(Ip4("10.1.1.1"), Ip4("255.255.255.0"), Ip4("10.1.1.63")),
              Ip4("10.1.1.63"));
    EXPECT_EQ(CUSocket::BroadcastOf(Ip4("10.2.0.1"), Ip4("255.255.0.0"), 0), Ip4("10.2.255.255"));
    EXPECT_EQ(CUSocket::BroadcastOf(Ip4("10.3.0.1"), Ip4("255.255.255.255"), 0), 0u);
}

TEST(AddressText, WhatTheEditorAcceptsIsWhatIsSentTo)
{
    const struct {
        const char* what;
        const char* text;
        bool valid;
        const char* user; // the user's Address; 0.0.0.0 is never sent to
    } cases[] = {
        {"leading zeros are decimal", "192.168.001.010", true, "192.168.1.10"},
        {"010 and 008 are not octal", "010.008.000.001", true, "10.8.0.1"},
        {"four digits", "1000.1.1.1", false, "0.0.0.0"},
        {"four digits with leading zeros", "0001.1.1.1", false, "0.0.0.0"},
        {"above 255", "10.0.0.256", false, "0.0.0.0"},
        {"empty: never this machine", "", false, "0.0.0.0"},
        {"a leading blank", " 10.0.0.1", false, "0.0.0.0"},
        {"a trailing blank", "10.0.0.1 ", false, "0.0.0.0"},
        {"three parts", "10.0.1", false, "0.0.0.0"},
        {"0.0.0.0 is no destination", "0.0.0.0", true, "0.0.0.0"},
        {"255.255.255.255 is no destination", "255.255.255.255", true, "0.0.0.0"},
        {"a subnet broadcast is", "192.168.1.255", true, "192.168.1.255"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CUString::ValidateIPAddress(c.text) != 0, c.valid) << c.what;
        sockaddr_in address{};
        EXPECT_EQ(CUSocket::GetSockAddr(address, c.text, 0) != 0, c.valid || !*c.text) << c.what;
        EXPECT_EQ(CUserSocket("Al", c.text).Address.sin_addr.s_addr, Ip4(c.user)) << c.what;
    }
    sockaddr_in own{};
    ASSERT_TRUE(CUSocket::GetSockAddr(own, "", 0)); // the main window's default external IP
    EXPECT_NE(own.sin_addr.s_addr, 0u);
}

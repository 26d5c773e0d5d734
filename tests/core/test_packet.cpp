// Re-addressing and the accept test on fixed bytes: only the destination and what follows from
// it (checksums, a multicast copy's TTL) may change; the accept test; an address text means the
// same in the editor and on the wire; recorded captures replayed. (Malformed and cut packets:
// the fuzz target.)
#include "PacketBytes.h"
#include "TempDir.h"
#include "base/CCaptureSocket.h"
#include "base/CIPHeader.h"
#include "base/CLocalInterfaces.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"
#include "base/CUSocket.h"
#include "forward/CForwardFilter.h"
#include "users/CUserSocket.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <future>

namespace
{

Bytes Hex(const char* text)
{
    Bytes bytes;
    for (const char* p = text; p[0] && p[1]; p += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
    return bytes;
}

Bytes With(Bytes bytes, size_t at, uint8_t value)
{
    bytes[at] = value;
    return bytes;
}

// 3,000 bytes: fragments on any Ethernet.
Bytes Big(Datagram d = {})
{
    d.payload = std::string(2972, 'x');
    return d.Build();
}

// Captured with transmit offload: the UDP checksum holds only the pseudo-header's sum.
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
    // Streams the last user's copy; `source` the address of the route to it, if any.
    Bytes Readdress(std::initializer_list<const char*> users, const char* source = nullptr)
    {
        for (const char* user : users) {
            ip.SetSource(source ? Ip4(source) : ip.GetCapturedSource());
            ip.SetDestination(Ip4(user));
            ip.PrepareUDPPacket(udp);
        }
        CUBuffer out;
        out << ip << udp;
        return Bytes(out.GetData(), out.GetData() + out.GetDataLength());
    }
};

// A link-layer header of `length` bytes with the given 16-bit fields, then `packet`.
Bytes Framed(size_t length, std::initializer_list<std::pair<size_t, int>> fields, const Bytes& ip)
{
    Bytes frame(length, 0);
    for (const auto& [at, value] : fields)
        PutBigEndian16(&frame[at], static_cast<uint16_t>(value));
    frame.insert(frame.end(), ip.begin(), ip.end());
    return frame;
}

std::vector<Bytes> Replay(const std::string& path, int linkType, const std::vector<Bytes>& frames)
{
    pcap_t* dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    for (const Bytes& frame : frames) {
        const pcap_pkthdr header{{}, bpf_u_int32(frame.size()), bpf_u_int32(frame.size())};
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    CCaptureSocket capture;
    EXPECT_TRUE(capture.OpenCaptureFile(path.c_str()) && capture.Sniff(1));
    auto reader = std::async(std::launch::async, [&capture] {
        std::vector<Bytes> packets;
        for (sockaddr_in from{}; capture.ReadUDP(from);)
            packets.emplace_back(capture.In.GetData(),
                                 capture.In.GetData() + capture.In.GetDataLength());
        return packets;
    });
    // Run dry, the replay waits like a quiet network until woken; bounded, never a hang.
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    capture.WakeRead();
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return reader.get();
}

} // namespace

TEST(Checksum, FoldsUntilNoCarryIsLeft)
{
    // RFC 1071's example; a sum that carries twice (folding once would give 0xfffe).
    for (auto [hex, sum] : {std::pair{"0001f203f4f5f6f7", 0x220d}, {"ffffffffffff0002", 0xfffd}})
        EXPECT_EQ(CIPHeader::Checksum(Hex(hex).data(), Hex(hex).size()), sum) << hex;
}

TEST(Readdress, CopiesCarryTheRightBytes)
{
    const Datagram none{.udpChecksum = false}, group{.to = "224.0.2.60", .ttl = 1},
        tunnel{.from = "10.66.0.1"};
    auto copy = [](Datagram d, uint8_t ttl = 0, bool big = false) { // for the user at 10.0.0.5
        d.to = "10.0.0.5", d.ttl = ttl ? ttl : d.ttl;
        return big ? Big(d) : d.Build();
    };
    const struct {
        const char* what;
        Bytes captured, expected;
        const char* user = "10.0.0.5";
        const char* source = nullptr; // the route's, across a VPN
    } cases[] = {
        {"offload's partial checksum is computed afresh", Offloaded,
         Hex("450000351c464000401152b1c0a801140a000005ba086987002151a1ffffffff54536f7572636520456e"
             "67696e6520517565727900")},
        {"a zero checksum stays zero", none.Build(), copy(none)},
        {"an option counts in the total length", WithOption(Datagram{}.Build()),
         WithOption(copy({}))},
        {"a checksum computing to 0 goes out as 0xffff",
         Hex("450000201c464000401112840a010203ffffffff04d210e1000c0c215a5a79be"),
         Hex("450000201c4640004011087d0a0102030a00000704d210e1000cffff5a5a79be"), "10.0.0.7"},
        {"a multicast copy gets TTL 64", group.Build(), copy(group, 64)},
        {"a broadcast keeps TTL 1", Datagram{.ttl = 1}.Build(), copy(Datagram{.ttl = 1})},
        {"first fragment: UDP checksum patched", Fragment(Big(), 0, 1480),
         Fragment(copy({}, 0, true), 0, 1480)},
        {"first fragment: no checksum stays none", Fragment(Big(none), 0, 16),
         Fragment(copy(none, 0, true), 0, 16)},
        {"middle fragment: only the IPv4 header changes", Fragment(Big(), 1480, 1480),
         Fragment(copy({}, 0, true), 1480, 1480)},
        {"a multicast datagram's last fragment gets TTL 64", Fragment(Big(group), 2960, 20),
         Fragment(copy(group, 64, true), 2960, 20)},
        {"a new source: both checksums follow it", Datagram{}.Build(), copy(tunnel), "10.0.0.5",
         "10.66.0.1"},
        {"first fragment, new source: UDP checksum patched for it too", Fragment(Big(), 0, 1480),
         Fragment(copy(tunnel, 0, true), 0, 1480), "10.0.0.5", "10.66.0.1"},
    };
    for (const auto& c : cases) {
        Packet packet;
        ASSERT_TRUE(packet.Parse(c.captured).ip.IsValid() && packet.udp.IsValid()) << c.what;
        EXPECT_EQ(packet.Readdress({c.user}, c.source), c.expected) << c.what;
        EXPECT_EQ(packet.Readdress({"10.9.9.9", c.user}, c.source), c.expected) << c.what;
    }
}

TEST(Fragment, ACopyTooBigForItsRouteIsCutAsARouterWouldCutIt)
{
    const Bytes whole = Big();
    using Pieces = std::vector<std::pair<size_t, size_t>>; // of `whole`: data offset, length
    const struct {
        const char* what;
        size_t mtu;
        Pieces pieces;
        Bytes packet;
    } cases[] = {
        {"Don't-Fragment cleared, the last piece short", 1420,
         Pieces{{0, 1400}, {1400, 1400}, {2800, 180}}, With(whole, 6, 0x40)},
        {"a fragment cut again keeps its offset and more-fragments", 1020,
         Pieces{{1480, 1000}, {2480, 480}}, Fragment(whole, 1480, 1480)},
        {"no room for 8 bytes of data: nothing leaves", 27, Pieces{}, whole},
    };
    for (const auto& c : cases) {
        std::vector<Bytes> pieces, expected;
        for (const auto& [offset, length] : c.pieces)
            expected.push_back(Fragment(whole, offset, length));
        const int ok = CIPHeader::Fragment(c.packet.data(), c.packet.size(), c.mtu,
                                           [&](const uint8_t* p, size_t n) {
                                               pieces.emplace_back(p, p + n);
                                               return 1;
                                           });
        EXPECT_EQ(ok, expected.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(pieces, expected) << c.what;
    }
}

TEST(AcceptTest, OwnBroadcastsAlwaysSubnetsAndGamesGroupsWithTheSwitch)
{
    const struct {
        const char* what;
        Bytes packet;
        bool off, on; // accepted with ForwardMore 0, 1
    } cases[] = {
        {"own broadcast", Datagram{}.Build(), true, true},
        {"with an IPv4 option: not forwarded", WithOption(Datagram{}.Build()), false, false},
        {"a total length below the header's", With(Datagram{}.Build(), 3, 16), false, false},
        {"empty payload", Datagram{.payload = ""}.Build(), false, false},
        {"another machine's broadcast", Datagram{.from = "10.1.1.2"}.Build(), false, false},
        {"TCP", Datagram{.protocol = 6}.Build(), false, false},
        {"unicast", Datagram{.to = "10.1.1.7"}.Build(), false, false},
        {"configured subnet broadcast", Datagram{.to = "10.1.1.63"}.Build(), false, true},
        {"all-ones-host broadcast", Datagram{.to = "10.2.255.255"}.Build(), false, true},
        {"a game's group", Datagram{.to = "224.0.2.60"}.Build(), false, true},
        {"mDNS, link-local control", Datagram{.to = "224.0.0.251"}.Build(), false, false},
        {"SSDP", Datagram{.to = "239.255.255.250"}.Build(), false, false},
        {"first fragment", Fragment(Big(), 0, 1480), true, true},
        {"later fragment, by its IPv4 fields", Fragment(Big(), 1480, 1480), true, true},
        {"another machine's later fragment", Fragment(With(Big(), 15, 2), 2960, 20), false, false},
        {"first fragment cut in its UDP header", Fragment(Big(), 0, 4), false, false},
        {"first fragment saying it is whole", With(Fragment(Big(), 0, 1480), 24, 5), false, false},
    };
    const std::vector<uint32_t> broadcasts = {Ip4("10.1.1.63"), Ip4("10.2.255.255")};
    CForwardFilter filter[2];
    Packet packet;
    for (int more : {0, 1}) {
        filter[more].SetDestinations(broadcasts, more);
        filter[more].SetOwnAddresses({Ip4("127.0.0.1"), Ip4("10.1.1.1")});
        for (const auto& c : cases)
            EXPECT_EQ(filter[more].Accepts(packet.Parse(c.packet).ip, packet.udp) != 0,
                      more ? c.on : c.off)
                << c.what << ", ForwardMore=" << more;
    }
    // A copy that the capture would take in again is never sent: it would loop for ever.
    const std::tuple<const char*, bool, bool> destinations[] = {
        {"0.0.0.0", false, false},   {"255.255.255.255", false, false}, {"10.1.1.63", true, false},
        {"224.0.2.60", true, false}, {"224.0.0.251", true, true},       {"10.0.0.5", true, true}};
    for (const auto& [address, off, on] : destinations) {
        EXPECT_EQ(filter[0].IsDestination(Ip4(address)) != 0, off) << address;
        EXPECT_EQ(filter[1].IsDestination(Ip4(address)) != 0, on) << address << ", ForwardMore";
    }
    // The configured broadcast wins; without one all host bits are set; a /32 has none.
    EXPECT_EQ(
        CLocalInterfaces::BroadcastOf(Ip4("10.1.1.1"), Ip4("255.255.255.0"), Ip4("10.1.1.63")),
        Ip4("10.1.1.63"));
    EXPECT_EQ(CLocalInterfaces::BroadcastOf(Ip4("10.2.0.1"), Ip4("255.255.0.0"), 0),
              Ip4("10.2.255.255"));
    EXPECT_EQ(CLocalInterfaces::BroadcastOf(Ip4("10.3.0.1"), Ip4("255.255.255.255"), 0), 0u);
}

TEST(AddressText, WhatTheEditorAcceptsIsWhatIsSentTo)
{
    const struct {
        const char *what, *text;
        bool valid;
        const char* user; // the user's Address; 0.0.0.0 is never sent to
    } cases[] = {
        {"leading zeros are decimal", "192.168.001.010", true, "192.168.1.10"},
        {"010 and 008 are not octal", "010.008.000.001", true, "10.8.0.1"},
        {"four digits", "1000.1.1.1", false, "0.0.0.0"},
        {"four digits, leading zeros", "0001.1.1.1", false, "0.0.0.0"},
        {"above 255", "10.0.0.256", false, "0.0.0.0"},
        {"an octet missing at the end is not a 0", "192.168.1.", false, "0.0.0.0"},
        {"empty: never this machine", "", false, "0.0.0.0"},
        {"a leading blank", " 10.0.0.1", false, "0.0.0.0"},
        {"a trailing blank", "10.0.0.1 ", false, "0.0.0.0"},
        {"0.0.0.0 is no destination", "0.0.0.0", true, "0.0.0.0"},
        {"255.255.255.255 is no destination", "255.255.255.255", true, "0.0.0.0"},
        {"a subnet broadcast is one", "192.168.1.255", true, "192.168.1.255"},
    };
    for (const auto& c : cases) {
        sockaddr_in address{};
        EXPECT_EQ(CUString::ValidateIPAddress(c.text) != 0, c.valid) << c.what;
        EXPECT_EQ(CUSocket::GetSockAddr(address, c.text, 0) != 0, c.valid || !*c.text) << c.what;
        EXPECT_EQ(CUserSocket("Al", c.text).Address.sin_addr.s_addr, Ip4(c.user)) << c.what;
    }
    sockaddr_in own{}; // no host is still this machine: the main window's default external IP
    EXPECT_TRUE(CUSocket::GetSockAddr(own, "", 0) && own.sin_addr.s_addr != 0);
}

// Recorded .pcap files replayed through the capture path: whatever the link layer, only IPv4/UDP
// datagrams (fragments too) this machine sent to 255.255.255.255 come out of ReadUDP, byte for
// byte from the IPv4 header on, and a replay run dry waits for the wake-up.
TEST(CaptureFile, EveryLinkTypeGivesOnlyOwnUdpBroadcasts)
{
    const Bytes own = Datagram{}.Build(), theirs = Datagram{.from = "10.1.1.2"}.Build();
    const Bytes first = Fragment(Big(), 0, 1480), later = Fragment(Big(), 2960, 20);
    // Cooked headers carry the direction: 4 for a packet this machine sent, 1 for a received one.
    auto sll2 = [](int type, const Bytes& ip, int proto = 0x800) {
        return Framed(20, {{0, proto}, {10, type << 8}}, ip);
    };
    const Bytes tagged = Framed(18, {{12, 0x8100}, {14, 7}, {16, 0x800}}, own);
    const struct {
        const char* what;
        int linkType;
        std::vector<Bytes> frames, expected;
    } cases[] = {
        {"cooked v2: no received, unicast, TCP, ARP or IPv6 packet; fragments pass",
         DLT_LINUX_SLL2,
         {sll2(4, own), sll2(1, theirs), sll2(4, Datagram{.to = "10.1.1.255"}.Build()),
          sll2(4, Datagram{.protocol = 6}.Build()), sll2(4, Bytes(28, 0), 0x806), sll2(4, first),
          sll2(4, later), sll2(4, Bytes(60, 0x60), 0x86dd)},
         {own, first, later}},
        {"cooked v1",
         DLT_LINUX_SLL,
         {Framed(16, {{0, 1}, {14, 0x800}}, theirs), Framed(16, {{0, 4}, {14, 0x800}}, own)},
         {own}},
        // The frame cut inside its tag lies where the one before left its tag's bytes: a bounds
        // check four bytes short would read them and take the cut frame for IPv4.
        {"Ethernet, VLAN tags, a frame cut inside its tag",
         DLT_EN10MB,
         {Framed(14, {{12, 0x800}}, own), tagged, Bytes(tagged.begin(), tagged.begin() + 16),
          Framed(22, {{12, 0x88a8}, {16, 0x8100}, {20, 0x800}}, later)},
         {own, own, later}},
    };
    TempDir dir;
    for (const auto& c : cases)
        EXPECT_EQ(Replay(dir.File("replay.pcap"), c.linkType, c.frames), c.expected) << c.what;
    CCaptureSocket capture; // a failure is reported in libpcap's own words, whatever they are
    EXPECT_FALSE(capture.OpenCaptureFile(dir.File("absent.pcap").c_str()));
    EXPECT_FALSE(capture.GetLastError().IsEmpty() || capture.IsOpen());
}

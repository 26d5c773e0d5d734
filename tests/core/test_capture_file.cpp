// Recorded .pcap files replayed through the capture path: whatever the link layer, only
// IPv4/UDP datagrams (and their fragments) that this machine sent to 255.255.255.255 come
// out of ReadUDP, byte for byte from the IPv4 header on; a replay run dry waits for the wake.

#include "PacketBytes.h"
#include "TempDir.h"
#include "base/CUSocket.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <chrono>
#include <future>

namespace
{

constexpr uint8_t Outgoing = 4, Incoming = 1; // sll_pkttype values

// A link-layer header of `length` bytes with the given 16-bit fields, then `packet`.
Bytes Framed(size_t length, std::initializer_list<std::pair<size_t, uint16_t>> fields,
             const Bytes& packet)
{
    Bytes frame(length, 0);
    for (const auto& [at, value] : fields)
        PutBigEndian16(&frame[at], value);
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}
Bytes Sll2(uint16_t type, const Bytes& p)
{
    return Framed(20, {{0, 0x0800}, {10, type << 8}}, p);
}
Bytes Sll(uint16_t type, const Bytes& p)
{
    return Framed(16, {{0, type}, {14, 0x0800}}, p);
}
Bytes Ether(const Bytes& p)
{
    return Framed(14, {{12, 0x0800}}, p);
}
Bytes Vlan(const Bytes& p)
{
    return Framed(18, {{12, 0x8100}, {14, 7}, {16, 0x0800}}, p);
}
Bytes QinQ(const Bytes& p)
{
    return Framed(22, {{12, 0x88a8}, {16, 0x8100}, {20, 0x0800}}, p);
}

// Writes the frames (a frame's recorded length is its own) and reads what comes out, until
// a reader blocked on a wrongly dropped packet is woken after a generous bound.
std::vector<Bytes> Replay(const std::string& path, int linkType, const std::vector<Bytes>& frames)
{
    pcap_t* dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    for (const Bytes& frame : frames) {
        pcap_pkthdr header{{}, bpf_u_int32(frame.size()), bpf_u_int32(frame.size())};
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    CUSocket capture;
    EXPECT_TRUE(capture.OpenCaptureFile(path.c_str()) && capture.Sniff(1));
    auto reader = std::async(std::launch::async, [&capture] {
        std::vector<Bytes> packets;
        sockaddr_in from{};
        while (capture.ReadUDP(from)) // a replay run dry waits like a quiet network
            packets.emplace_back(capture.In.GetData(),
                                 capture.In.GetData() + capture.In.GetDataLength());
        return packets;
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    capture.WakeRead();
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return reader.get();
}

} // namespace

TEST(CaptureFile, EveryLinkTypeGivesOnlyOwnUdpBroadcasts)
{
    const Bytes own = Datagram{}.Build(), theirs = Datagram{.from = "10.1.1.2"}.Build();
    const Bytes big = Datagram{.payload = std::string(2972, 'x')}.Build();
    const Bytes first = Fragment(big, 0, 1480), later = Fragment(big, 2960, 20);
    const Bytes subnet = Datagram{.to = "10.1.1.255"}.Build(),
                tcp = Datagram{.protocol = 6}.Build();
    const Bytes taggedFirst = Vlan(own);
    const struct {
        const char* what;
        int linkType;
        std::vector<Bytes> frames, expected;
    } cases[] = {
        {"cooked v2: fragments pass, incoming, unicast, TCP, ARP and IPv6 do not",
         DLT_LINUX_SLL2,
         {Sll2(Outgoing, own), Sll2(Incoming, theirs), Sll2(Outgoing, subnet), Sll2(Outgoing, tcp),
          Framed(20, {{0, 0x0806}, {10, Outgoing << 8}}, Bytes(28, 0)), Sll2(Outgoing, first),
          Sll2(Outgoing, later), Framed(20, {{0, 0x86dd}, {10, Outgoing << 8}}, Bytes(60, 0x60))},
         {own, first, later}},
        {"cooked v1", DLT_LINUX_SLL, {Sll(Incoming, theirs), Sll(Outgoing, own)}, {own}},
        // The frame cut inside its tag lies where the one before left its tag's bytes: a
        // bounds check four bytes short would read them and take the frame for IPv4.
        {"Ethernet with VLAN tags, one cut inside its tag",
         DLT_EN10MB,
         {Ether(own), taggedFirst, Bytes(taggedFirst.begin(), taggedFirst.begin() + 16),
          QinQ(later), Ether(subnet)},
         {own, own, later}},
    };
    TempDir dir;
    for (const auto& c : cases)
        EXPECT_EQ(Replay(dir.File("replay.pcap"), c.linkType, c.frames), c.expected) << c.what;
}

TEST(CaptureFile, MissingFileReportsAFailure)
{
    TempDir dir;
    CUSocket capture;
    EXPECT_FALSE(capture.OpenCaptureFile(dir.File("absent.pcap").c_str()));
    EXPECT_FALSE(capture.GetLastError().IsEmpty()); // libpcap's own words, whatever they are
    EXPECT_FALSE(capture.IsOpen());
}

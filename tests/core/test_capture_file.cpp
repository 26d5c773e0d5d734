// Recorded .pcap files replayed through the capture path: whatever the link layer, only IPv4/UDP
// datagrams (fragments too) this machine sent to 255.255.255.255 come out of ReadUDP, byte for
// byte from the IPv4 header on, and a replay run dry waits for the wake-up.
#include "PacketBytes.h"
#include "TempDir.h"
#include "base/CUSocket.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <future>

namespace
{

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
    CUSocket capture;
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

TEST(CaptureFile, EveryLinkTypeGivesOnlyOwnUdpBroadcasts)
{
    const Bytes own = Datagram{}.Build(), theirs = Datagram{.from = "10.1.1.2"}.Build();
    const Bytes big = Datagram{.payload = std::string(2972, 'x')}.Build();
    const Bytes first = Fragment(big, 0, 1480), later = Fragment(big, 2960, 20);
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
    CUSocket capture; // a failure is reported in libpcap's own words, whatever they are
    EXPECT_FALSE(capture.OpenCaptureFile(dir.File("absent.pcap").c_str()));
    EXPECT_FALSE(capture.GetLastError().IsEmpty() || capture.IsOpen());
}

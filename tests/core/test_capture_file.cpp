// Recorded .pcap files replayed through the capture path: whatever the link layer, only whole
// IPv4/UDP datagrams this machine sent to 255.255.255.255 come out of ReadUDP, byte for byte
// from the IPv4 header on, and a replay that has run dry waits for the wake-up.

#include "TempDir.h"
#include "base/CUSocket.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOutgoing = 4;  // sll_pkttype values
constexpr uint8_t kBroadcast = 1; // a broadcast another machine sent to us

void Put16(Bytes& bytes, size_t at, size_t value)
{
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

Bytes Framed(Bytes header, const Bytes& packet)
{
    header.insert(header.end(), packet.begin(), packet.end());
    return header;
}

// Port 5000 to 28000; protocol 6 makes the same bytes a TCP packet.
Bytes Udp(const char* source, const char* destination, const std::string& payload,
          uint8_t protocol = 17)
{
    Bytes packet(28, 0);
    packet[0] = 0x45;
    Put16(packet, 2, 28 + payload.size());
    packet[8] = 64;
    packet[9] = protocol;
    inet_pton(AF_INET, source, &packet[12]);
    inet_pton(AF_INET, destination, &packet[16]);
    Put16(packet, 20, 5000);
    Put16(packet, 22, 28000);
    Put16(packet, 24, 8 + payload.size());
    return Framed(packet, Bytes(payload.begin(), payload.end()));
}

Bytes Sll2(uint8_t type, uint16_t etherType, const Bytes& packet)
{
    Bytes header(20, 0);
    Put16(header, 0, etherType);
    header[7] = 2; // interface index
    header[9] = 1; // ARPHRD_ETHER
    header[10] = type;
    header[11] = 6;
    return Framed(header, packet);
}

Bytes Sll(uint8_t type, uint16_t etherType, const Bytes& packet)
{
    Bytes header(16, 0);
    header[1] = type;
    header[3] = 1;
    header[5] = 6;
    Put16(header, 14, etherType);
    return Framed(header, packet);
}

Bytes Ethernet(const std::vector<uint16_t>& tags, const Bytes& packet)
{
    Bytes header(12, 0xff);
    for (uint16_t tpid : tags)
        header.insert(header.end(), {uint8_t(tpid >> 8), uint8_t(tpid), 0x00, 0x07}); // VLAN 7
    header.insert(header.end(), {0x08, 0x00});
    return Framed(header, packet);
}

struct Frame {
    Bytes bytes;
    size_t wireLength = 0; // 0: as long as what was captured
};

void WriteCapture(const std::string& path, int linkType, const std::vector<Frame>& frames)
{
    pcap_t* dead = pcap_open_dead(linkType, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
    for (const Frame& frame : frames) {
        pcap_pkthdr header{};
        header.caplen = static_cast<bpf_u_int32>(frame.bytes.size());
        header.len =
            static_cast<bpf_u_int32>(frame.wireLength ? frame.wireLength : frame.bytes.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

// Reads packets up to `last`; a reader blocked on a wrongly dropped packet is woken after a
// generous bound, so the test fails instead of hanging.
std::vector<Bytes> ReadUntil(CUSocket& capture, const Bytes& last)
{
    auto reader = std::async(std::launch::async, [&capture, &last] {
        std::vector<Bytes> packets;
        sockaddr_in from{};
        while (capture.ReadUDP(from)) {
            packets.emplace_back(capture.In.GetData(),
                                 capture.In.GetData() + capture.In.GetDataLength());
            capture.In.Clear();
            if (packets.back() == last)
                break;
        }
        return packets;
    });
    if (reader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        capture.WakeRead();
        ADD_FAILURE() << "the last packet never came out of the capture";
    }
    return reader.get();
}

} // namespace

TEST(CaptureFile, EveryLinkTypeGivesOnlyOwnWholeUdpBroadcasts)
{
    auto own = [](const char* payload) { return Udp("10.1.1.1", "255.255.255.255", payload); };
    const Bytes announce = own("announce"), last = own("last"), truncated = own("cut short");
    const Bytes theirs = Udp("10.1.1.2", "255.255.255.255", "theirs");
    struct Case {
        int linkType;
        std::vector<Frame> frames;
        std::vector<Bytes> expected;
    };
    const Case cases[] = {
        {DLT_LINUX_SLL2,
         {{Sll2(kOutgoing, 0x0800, announce)},
          {Sll2(kBroadcast, 0x0800, theirs)},
          {Sll2(kOutgoing, 0x0800, Udp("10.1.1.1", "10.1.1.2", "unicast"))},
          {Sll2(kOutgoing, 0x0800, Udp("10.1.1.1", "10.1.1.255", "subnet"))},
          {Sll2(kOutgoing, 0x0800, Udp("10.1.1.1", "255.255.255.255", "tcp", 6))},
          {Sll2(kOutgoing, 0x0806, Bytes(28, 0))},
          {Sll2(kOutgoing, 0x86dd, Bytes(60, 0x60))},
          {Sll2(kOutgoing, 0x0800, Bytes(truncated.begin(), truncated.end() - 4)),
           20 + truncated.size()},
          {Sll2(kOutgoing, 0x0800, last)}},
         {announce, last}},
        {DLT_LINUX_SLL,
         {{Sll(kBroadcast, 0x0800, theirs)},
          {Sll(kOutgoing, 0x0800, announce)},
          {Sll(kOutgoing, 0x0800, last)}},
         {announce, last}},
        {DLT_EN10MB,
         {{Ethernet({}, announce)},
          {Ethernet({0x8100}, own("tagged"))},
          {Ethernet({0x88a8, 0x8100}, own("q-in-q"))},
          {Ethernet({}, Udp("10.1.1.1", "10.1.1.2", "unicast"))},
          {Ethernet({}, last)}},
         {announce, own("tagged"), own("q-in-q"), last}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.File(std::to_string(c.linkType) + ".pcap");
        WriteCapture(path, c.linkType, c.frames);
        CUSocket capture;
        ASSERT_TRUE(capture.OpenCaptureFile(path.c_str())) << capture.GetLastError().c_str();
        ASSERT_TRUE(capture.Sniff(1));
        EXPECT_EQ(ReadUntil(capture, last), c.expected) << "link type " << c.linkType;

        // Run dry, the replay waits like a quiet network instead of spinning the loop.
        auto reader = std::async(std::launch::async, [&capture] {
            sockaddr_in from{};
            return capture.ReadUDP(from);
        });
        EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
        capture.WakeRead();
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(reader.get(), 0);
    }
}

TEST(CaptureFile, MissingFileReportsLibpcapsReason)
{
    TempDir dir;
    CUSocket capture;
    EXPECT_FALSE(capture.OpenCaptureFile(dir.File("absent.pcap").c_str()));
    EXPECT_NE(std::string(capture.GetLastError().c_str()).find("No such file"), std::string::npos)
        << capture.GetLastError().c_str();
    EXPECT_FALSE(capture.IsOpen());
}

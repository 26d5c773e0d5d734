// The capture path replayed from recorded .pcap files: whatever the link layer, only
// whole IPv4/UDP datagrams this machine sent to 255.255.255.255 come out of ReadUDP,
// byte for byte from their IPv4 header on, and a replay that has run dry waits for
// the wake-up like a quiet network.

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

Bytes IPv4(const char* source, const char* destination, int protocol, const std::string& payload)
{
    Bytes packet(28, 0);
    packet[0] = 0x45;
    const size_t total = 28 + payload.size();
    packet[2] = static_cast<uint8_t>(total >> 8);
    packet[3] = static_cast<uint8_t>(total);
    packet[8] = 64;
    packet[9] = static_cast<uint8_t>(protocol);
    inet_pton(AF_INET, source, &packet[12]);
    inet_pton(AF_INET, destination, &packet[16]);
    packet[20] = 0x13; // source port 5000
    packet[21] = 0x88;
    packet[22] = 0x6d; // destination port 28000
    packet[23] = 0x60;
    packet[24] = static_cast<uint8_t>((8 + payload.size()) >> 8);
    packet[25] = static_cast<uint8_t>(8 + payload.size());
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

Bytes Udp(const char* source, const char* destination, const std::string& payload)
{
    return IPv4(source, destination, 17, payload);
}

Bytes Sll2(uint8_t packetType, uint16_t etherType, const Bytes& packet)
{
    Bytes frame(20, 0);
    frame[0] = static_cast<uint8_t>(etherType >> 8);
    frame[1] = static_cast<uint8_t>(etherType);
    frame[7] = 2; // interface index
    frame[9] = 1; // ARPHRD_ETHER
    frame[10] = packetType;
    frame[11] = 6;
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

Bytes Sll(uint8_t packetType, uint16_t etherType, const Bytes& packet)
{
    Bytes frame(16, 0);
    frame[1] = packetType;
    frame[3] = 1;
    frame[5] = 6;
    frame[14] = static_cast<uint8_t>(etherType >> 8);
    frame[15] = static_cast<uint8_t>(etherType);
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

Bytes Ethernet(const std::vector<uint16_t>& tags, const Bytes& packet)
{
    Bytes frame(12, 0xff);
    for (uint16_t tpid : tags) {
        frame.push_back(static_cast<uint8_t>(tpid >> 8));
        frame.push_back(static_cast<uint8_t>(tpid));
        frame.push_back(0x00); // priority and VLAN id 7
        frame.push_back(0x07);
    }
    frame.push_back(0x08);
    frame.push_back(0x00);
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
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

// Reads packets until one carries `lastPayload`'s packet. A reader that blocks
// because a packet was wrongly dropped is woken after a generous bound, so the test
// fails instead of hanging.
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

const Bytes kOwnBroadcast = Udp("10.1.1.1", "255.255.255.255", "announce");
const Bytes kLast = Udp("10.1.1.1", "255.255.255.255", "last");

} // namespace

TEST(CaptureFile, CookedV2KeepsOnlyOutgoingUdpBroadcasts)
{
    TempDir dir;
    const std::string path = dir.File("sll2.pcap");
    const Bytes truncated = Udp("10.1.1.1", "255.255.255.255", "cut short");
    WriteCapture(path, DLT_LINUX_SLL2,
                 {{Sll2(kOutgoing, 0x0800, kOwnBroadcast)},
                  {Sll2(kBroadcast, 0x0800, Udp("10.1.1.2", "255.255.255.255", "theirs"))},
                  {Sll2(kOutgoing, 0x0800, Udp("10.1.1.1", "10.1.1.2", "unicast"))},
                  {Sll2(kOutgoing, 0x0800, Udp("10.1.1.1", "10.1.1.255", "subnet"))},
                  {Sll2(kOutgoing, 0x0800, IPv4("10.1.1.1", "255.255.255.255", 6, "tcp"))},
                  {Sll2(kOutgoing, 0x0806, Bytes(28, 0))},
                  {Sll2(kOutgoing, 0x86dd, Bytes(60, 0x60))},
                  {Sll2(kOutgoing, 0x0800, Bytes(truncated.begin(), truncated.end() - 4)),
                   20 + truncated.size()},
                  {Sll2(kOutgoing, 0x0800, kLast)}});
    CUSocket capture;
    ASSERT_TRUE(capture.OpenCaptureFile(path.c_str())) << capture.GetLastError().c_str();
    ASSERT_TRUE(capture.Sniff(1));
    EXPECT_EQ(ReadUntil(capture, kLast), (std::vector<Bytes>{kOwnBroadcast, kLast}));
}

TEST(CaptureFile, CookedV1KeepsOnlyOutgoingUdpBroadcasts)
{
    TempDir dir;
    const std::string path = dir.File("sll.pcap");
    WriteCapture(path, DLT_LINUX_SLL,
                 {{Sll(kBroadcast, 0x0800, Udp("10.1.1.2", "255.255.255.255", "theirs"))},
                  {Sll(kOutgoing, 0x0800, kOwnBroadcast)},
                  {Sll(kOutgoing, 0x0800, kLast)}});
    CUSocket capture;
    ASSERT_TRUE(capture.OpenCaptureFile(path.c_str())) << capture.GetLastError().c_str();
    ASSERT_TRUE(capture.Sniff(1));
    EXPECT_EQ(ReadUntil(capture, kLast), (std::vector<Bytes>{kOwnBroadcast, kLast}));
}

TEST(CaptureFile, EthernetWithVlanTagsGivesTheIPv4Packet)
{
    TempDir dir;
    const std::string path = dir.File("ether.pcap");
    const Bytes tagged = Udp("10.1.1.1", "255.255.255.255", "tagged");
    const Bytes doubleTagged = Udp("10.1.1.1", "255.255.255.255", "q-in-q");
    WriteCapture(path, DLT_EN10MB,
                 {{Ethernet({}, kOwnBroadcast)},
                  {Ethernet({0x8100}, tagged)},
                  {Ethernet({0x88a8, 0x8100}, doubleTagged)},
                  {Ethernet({}, Udp("10.1.1.1", "10.1.1.2", "unicast"))},
                  {Ethernet({}, kLast)}});
    CUSocket capture;
    ASSERT_TRUE(capture.OpenCaptureFile(path.c_str())) << capture.GetLastError().c_str();
    ASSERT_TRUE(capture.Sniff(1));
    EXPECT_EQ(ReadUntil(capture, kLast),
              (std::vector<Bytes>{kOwnBroadcast, tagged, doubleTagged, kLast}));
}

TEST(CaptureFile, ReplayRunDryWaitsForTheWakeUp)
{
    TempDir dir;
    const std::string path = dir.File("one.pcap");
    WriteCapture(path, DLT_LINUX_SLL2, {{Sll2(kOutgoing, 0x0800, kLast)}});
    CUSocket capture;
    ASSERT_TRUE(capture.OpenCaptureFile(path.c_str()));
    ASSERT_TRUE(capture.Sniff(1));
    ASSERT_EQ(ReadUntil(capture, kLast).size(), 1u);

    auto reader = std::async(std::launch::async, [&capture] {
        sockaddr_in from{};
        return capture.ReadUDP(from);
    });
    // Still waiting: a dry replay must not turn the forwarder's loop into a spin.
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    capture.WakeRead();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0);
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

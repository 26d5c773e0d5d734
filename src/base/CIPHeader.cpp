#include "base/CIPHeader.h"

#include "base/ByteOrder.h"
#include "base/CUBuffer.h"
#include "base/CUDPHeader.h"

#include <arpa/inet.h>

#include <cstring>
#include <vector>

namespace
{

constexpr int ProtocolUDP = 17;
constexpr uint8_t MulticastTTL = 64; // the usual unicast default

} // namespace

void CIPHeader::Read(CUBuffer& buffer)
{
    m_valid = 0;
    m_headerLength = 0;
    const size_t start = static_cast<size_t>(buffer.GetReadPosition());
    const size_t captured = buffer.Remaining();
    const uint8_t* p = buffer.GetData() + start;

    bool ok = captured >= MinLength && (p[0] >> 4) == 4;
    const size_t headerLength = ok ? static_cast<size_t>(p[0] & 0x0f) * 4 : 0;
    const size_t totalLength = ok ? GetBigEndian16(p + 2) : 0;
    ok = ok && headerLength >= MinLength && headerLength <= captured &&
         totalLength >= headerLength && totalLength <= captured;
    if (!ok) {
        // Nothing behind a broken header may be taken for a transport header.
        if (captured >= MinLength)
            std::memcpy(m_bytes, p, MinLength);
        buffer.SetReadLimit(start);
        buffer.SetReadPosition(start);
        return;
    }
    std::memcpy(m_bytes, buffer.ReadBytes(headerLength), headerLength);
    m_headerLength = static_cast<int>(headerLength);
    m_capturedDestination = GetDestination();
    m_checksumDestination = m_capturedDestination;
    m_capturedSource = GetSource();
    m_checksumSource = m_capturedSource;
    buffer.SetReadLimit(start + totalLength);
    m_valid = 1;
}

void CIPHeader::Write(CUBuffer& buffer)
{
    buffer.Append(m_bytes, static_cast<size_t>(m_headerLength));
}

int CIPHeader::GetProtocol() const
{
    return m_bytes[9];
}

uint32_t CIPHeader::GetSource() const
{
    uint32_t address;
    std::memcpy(&address, m_bytes + 12, sizeof address);
    return address;
}

uint32_t CIPHeader::GetDestination() const
{
    uint32_t address;
    std::memcpy(&address, m_bytes + 16, sizeof address);
    return address;
}

void CIPHeader::SetDestination(uint32_t address)
{
    std::memcpy(m_bytes + 16, &address, sizeof address);
}

void CIPHeader::SetSource(uint32_t address)
{
    std::memcpy(m_bytes + 12, &address, sizeof address);
}

int CIPHeader::IsFragment() const
{
    return HasMoreFragments() || GetFragmentOffset() != 0;
}

int CIPHeader::HasMoreFragments() const
{
    return (GetBigEndian16(m_bytes + 6) & 0x2000) != 0;
}

int CIPHeader::GetFragmentOffset() const
{
    return (GetBigEndian16(m_bytes + 6) & 0x1fff) * 8;
}

int CIPHeader::IsMulticast(uint32_t address)
{
    return (ntohl(address) >> 28) == 0xe;
}

int CIPHeader::GetTotalLength() const
{
    return GetBigEndian16(m_bytes + 2);
}

uint16_t CIPHeader::GetChecksum() const
{
    return GetBigEndian16(m_bytes + 10);
}

uint64_t CIPHeader::AddToSum(uint64_t sum, const uint8_t* data, size_t length)
{
    size_t i = 0;
    for (; i + 1 < length; i += 2)
        sum += GetBigEndian16(data + i);
    if (i < length)
        sum += static_cast<uint64_t>(data[i]) << 8;
    return sum;
}

uint16_t CIPHeader::FinishSum(uint64_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

void CIPHeader::PrepareUDPPacket(CUDPHeader& udp)
{
    if (!m_valid)
        return;
    // Multicast senders mostly set TTL 1: a unicast copy with it would die at the first
    // router on its way to the user.
    if (IsMulticast(m_capturedDestination) && m_bytes[8] < MulticastTTL)
        m_bytes[8] = MulticastTTL;
    if (IsFragment()) {
        PrepareFragment(udp);
        return;
    }
    const int udpLength = CUDPHeader::HeaderLength + udp.GetPayloadLength();
    PutBigEndian16(m_bytes + 2, static_cast<uint16_t>(m_headerLength + udpLength));
    UpdateHeaderChecksum();

    udp.SetLength(static_cast<uint16_t>(udpLength));
    // A sender that gave no checksum (0) gets none: computing one would be harmless
    // but changes the datagram more than re-addressing needs.
    if (udp.GetChecksum() == 0)
        return;
    // Computed afresh, never patched: an outgoing packet captured before the NIC
    // (transmit offload, veth) carries only a partial checksum in this field.
    uint8_t pseudo[12];
    std::memcpy(pseudo, m_bytes + 12, 8); // source and the new destination
    pseudo[8] = 0;
    pseudo[9] = ProtocolUDP;
    PutBigEndian16(pseudo + 10, static_cast<uint16_t>(udpLength));
    udp.SetChecksum(0);
    uint64_t sum = AddToSum(0, pseudo, sizeof pseudo);
    sum = AddToSum(sum, udp.m_header, CUDPHeader::HeaderLength);
    sum = AddToSum(sum, udp.GetPayload(), static_cast<size_t>(udp.GetPayloadLength()));
    const uint16_t checksum = FinishSum(sum);
    // 0 on the wire means "no checksum"; a computed 0 is sent as its other form.
    udp.SetChecksum(checksum == 0 ? 0xffff : checksum);
}

void CIPHeader::UpdateHeaderChecksum()
{
    PutBigEndian16(m_bytes + 10, 0);
    PutBigEndian16(m_bytes + 10, Checksum(m_bytes, static_cast<size_t>(m_headerLength)));
}

void CIPHeader::PrepareFragment(CUDPHeader& udp)
{
    // Lengths and fragment fields stay as captured: the user reassembles the pieces.
    UpdateHeaderChecksum();
    const uint32_t destination = GetDestination();
    if (GetFragmentOffset() == 0 && udp.GetChecksum() != 0) {
        // The first fragment holds only part of what its checksum covers, so the sum is
        // patched for the new addresses (RFC 1624: HC' = ~(~HC + ~m + m')). Software
        // fragmentation has computed it in full, so there is no partial sum to fear.
        const uint32_t source = GetSource();
        uint8_t from[8], to[8];
        std::memcpy(from, &m_checksumSource, 4);
        std::memcpy(from + 4, &m_checksumDestination, 4);
        std::memcpy(to, &source, 4);
        std::memcpy(to + 4, &destination, 4);
        uint64_t sum = static_cast<uint16_t>(~udp.GetChecksum());
        for (int i = 0; i < 8; i += 2)
            sum += static_cast<uint16_t>(~GetBigEndian16(from + i)) + GetBigEndian16(to + i);
        const uint16_t checksum = FinishSum(sum);
        udp.SetChecksum(checksum == 0 ? 0xffff : checksum);
    }
    m_checksumSource = GetSource();
    m_checksumDestination = destination;
}

int CIPHeader::Fragment(const uint8_t* packet, size_t length, size_t mtu,
                        const std::function<int(const uint8_t*, size_t)>& send)
{
    const size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
    // Options without the copy flag (bit 7 of the type) stay in the first fragment.
    uint8_t later[MaxLength];
    size_t laterLength = MinLength;
    std::memcpy(later, packet, MinLength);
    for (size_t at = MinLength; at < headerLength;) {
        const uint8_t type = packet[at];
        if (type == 0) // end of the list
            break;
        const size_t size = type == 1 ? 1 : (at + 1 < headerLength ? packet[at + 1] : 0);
        if (size == 0 || at + size > headerLength)
            break;
        if (type & 0x80) {
            std::memcpy(later + laterLength, packet + at, size);
            laterLength += size;
        }
        at += size;
    }
    while (laterLength % 4)
        later[laterLength++] = 0;
    later[0] = static_cast<uint8_t>(0x40 | laterLength / 4);

    const uint16_t fields = GetBigEndian16(packet + 6);
    const size_t firstOffset = (fields & 0x1fff) * 8u;
    const bool moreAfter = (fields & 0x2000) != 0;
    std::vector<uint8_t> piece(mtu < 65535 ? mtu : 65535);
    for (size_t done = 0; headerLength + done < length;) {
        const uint8_t* header = done == 0 ? packet : later;
        const size_t ownHeader = done == 0 ? headerLength : laterLength;
        const size_t left = length - headerLength - done;
        // All but the last carry a multiple of 8 bytes: offsets count in eighths.
        size_t data = piece.size() > ownHeader ? (piece.size() - ownHeader) & ~size_t{7} : 0;
        if (data == 0)
            return 0;
        const bool last = left <= data;
        data = last ? left : data;
        std::memcpy(piece.data(), header, ownHeader);
        std::memcpy(piece.data() + ownHeader, packet + headerLength + done, data);
        uint8_t* h = piece.data();
        PutBigEndian16(h + 2, static_cast<uint16_t>(ownHeader + data));
        PutBigEndian16(h + 6, static_cast<uint16_t>(((!last || moreAfter) ? 0x2000 : 0) |
                                                    ((firstOffset + done) / 8)));
        PutBigEndian16(h + 10, 0);
        PutBigEndian16(h + 10, Checksum(h, ownHeader));
        if (!send(h, ownHeader + data))
            return 0;
        done += data;
    }
    return 1;
}

#include "base/CUDPHeader.h"

#include "base/ByteOrder.h"
#include "base/CIPHeader.h"
#include "base/CUBuffer.h"

#include <cstring>

CUDPHeader::CUDPHeader()
{
    // One allocation per header object, none per packet.
    m_payload.reserve(65536);
}

void CUDPHeader::Read(CUBuffer& buffer)
{
    m_valid = 0;
    m_headerless = 0;
    m_payload.clear();
    const uint8_t* header = buffer.ReadBytes(HeaderLength);
    if (!header) {
        std::memset(m_header, 0, sizeof m_header);
        return;
    }
    std::memcpy(m_header, header, HeaderLength);
    const size_t length = GetBigEndian16(m_header + 4);
    if (length < HeaderLength || length - HeaderLength > buffer.Remaining()) {
        buffer.Seek(static_cast<long>(buffer.Remaining()));
        return;
    }
    const size_t payloadLength = length - HeaderLength;
    const uint8_t* payload = buffer.ReadBytes(payloadLength);
    m_payload.assign(payload, payload + payloadLength);
    // Bytes beyond the UDP length belong to no one (the kernel trims them too).
    buffer.Seek(static_cast<long>(buffer.Remaining()));
    m_valid = 1;
}

void CUDPHeader::ReadAfter(const CIPHeader& ip, CUBuffer& buffer)
{
    if (!ip.IsFragment()) {
        Read(buffer);
        return;
    }
    m_valid = 0;
    m_headerless = 0;
    m_payload.clear();
    std::memset(m_header, 0, sizeof m_header);
    if (ip.GetFragmentOffset() == 0) {
        const uint8_t* header = buffer.ReadBytes(HeaderLength);
        if (!header)
            return;
        std::memcpy(m_header, header, HeaderLength);
        // A datagram that goes on in later fragments is longer than what this one holds.
        if (GetBigEndian16(m_header + 4) <= HeaderLength + buffer.Remaining())
            return;
    } else {
        m_headerless = 1;
    }
    const size_t length = buffer.Remaining();
    const uint8_t* payload = buffer.ReadBytes(length);
    if (length)
        m_payload.assign(payload, payload + length);
    m_valid = length > 0;
}

void CUDPHeader::Write(CUBuffer& buffer)
{
    if (!m_headerless)
        buffer.Append(m_header, HeaderLength);
    buffer.Append(m_payload.data(), m_payload.size());
}

uint16_t CUDPHeader::GetDestinationPort() const
{
    uint16_t port;
    std::memcpy(&port, m_header + 2, sizeof port);
    return port;
}

uint16_t CUDPHeader::GetSourcePort() const
{
    uint16_t port;
    std::memcpy(&port, m_header, sizeof port);
    return port;
}

int CUDPHeader::GetPayloadLength() const
{
    return static_cast<int>(m_payload.size());
}

uint16_t CUDPHeader::GetChecksum() const
{
    return GetBigEndian16(m_header + 6);
}

void CUDPHeader::SetLength(uint16_t length)
{
    PutBigEndian16(m_header + 4, length);
}

void CUDPHeader::SetChecksum(uint16_t checksum)
{
    PutBigEndian16(m_header + 6, checksum);
}

#include "base/CUDPHeader.h"

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
    m_payload.clear();
    const uint8_t* header = buffer.ReadBytes(HeaderLength);
    if (!header) {
        std::memset(m_header, 0, sizeof m_header);
        return;
    }
    std::memcpy(m_header, header, HeaderLength);
    const size_t length = static_cast<size_t>((m_header[4] << 8) | m_header[5]);
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

void CUDPHeader::Write(CUBuffer& buffer)
{
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
    return static_cast<uint16_t>((m_header[6] << 8) | m_header[7]);
}

void CUDPHeader::SetLength(uint16_t length)
{
    m_header[4] = static_cast<uint8_t>(length >> 8);
    m_header[5] = static_cast<uint8_t>(length);
}

void CUDPHeader::SetChecksum(uint16_t checksum)
{
    m_header[6] = static_cast<uint8_t>(checksum >> 8);
    m_header[7] = static_cast<uint8_t>(checksum);
}

#include "base/CTCPHeader.h"

#include "base/CUBuffer.h"

#include <cstring>

CTCPHeader::CTCPHeader()
{
    m_payload.reserve(65536);
}

void CTCPHeader::Read(CUBuffer& buffer)
{
    m_valid = 0;
    m_headerLength = 0;
    m_payload.clear();
    const size_t present = buffer.Remaining();
    const uint8_t* p = buffer.GetData() + buffer.GetReadPosition();
    const size_t headerLength = present >= MinLength ? static_cast<size_t>(p[12] >> 4) * 4 : 0;
    if (headerLength < MinLength || headerLength > present) {
        buffer.Seek(static_cast<long>(present));
        return;
    }
    std::memcpy(m_header, buffer.ReadBytes(headerLength), headerLength);
    m_headerLength = static_cast<int>(headerLength);
    // TCP has no length of its own: the payload runs to the end of the IPv4 packet.
    const size_t payloadLength = buffer.Remaining();
    const uint8_t* payload = buffer.ReadBytes(payloadLength);
    if (payloadLength)
        m_payload.assign(payload, payload + payloadLength);
    m_valid = 1;
}

void CTCPHeader::Write(CUBuffer& buffer)
{
    buffer.Append(m_header, static_cast<size_t>(m_headerLength));
    buffer.Append(m_payload.data(), m_payload.size());
}

int CTCPHeader::GetPayloadLength() const
{
    return static_cast<int>(m_payload.size());
}

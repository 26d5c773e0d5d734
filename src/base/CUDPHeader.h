#pragma once

#include "base/CUObject.h"

#include <cstdint>
#include <vector>

class CIPHeader;

// A UDP header (RFC 768) with the payload behind it.
//
// Read takes the length from the header and checks it against the bytes present: a
// datagram that claims more than was captured is not valid and has no payload. The
// payload is copied into a buffer that keeps its capacity from packet to packet.
class CUDPHeader : public CUObject
{
public:
    CUDPHeader();

    void Read(CUBuffer& buffer) override;
    // Read for what follows `ip`. A fragment at offset 0 holds the header and the first
    // part of the payload: valid when its header is whole and its length tells of more
    // to come. A later fragment has no header: all its bytes are payload, and Write
    // gives them alone.
    void ReadAfter(const CIPHeader& ip, CUBuffer& buffer);
    // The 8 header bytes, then the payload.
    void Write(CUBuffer& buffer) override;

    uint16_t GetDestinationPort() const; // network byte order, as captured; 0 headerless
    uint16_t GetSourcePort() const;      // network byte order, as captured
    int GetPayloadLength() const;
    const uint8_t* GetPayload() const { return m_payload.data(); }
    uint16_t GetChecksum() const; // host byte order; 0 means the sender gave none
    int IsValid() const { return m_valid; }

    static constexpr int HeaderLength = 8;

private:
    friend class CIPHeader; // PrepareUDPPacket sets length and checksum

    void SetLength(uint16_t length);
    void SetChecksum(uint16_t checksum);

    uint8_t m_header[HeaderLength] = {};
    std::vector<uint8_t> m_payload;
    int m_valid = 0;
    int m_headerless = 0;
};

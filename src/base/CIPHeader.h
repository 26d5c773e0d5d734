#pragma once

#include "base/CUObject.h"

#include <cstddef>
#include <cstdint>

class CUDPHeader;

// An IPv4 header (RFC 791) streamed out of a captured packet. Addresses are kept in
// network byte order, as they stand in the packet.
//
// Read checks the header against the bytes that were captured: a header that is
// truncated, has a bad version or IHL, or claims more bytes than were captured is not
// valid, and the buffer is then left with nothing more to read, so that the transport
// header behind it reads as empty. A valid header limits the buffer's reading to the
// packet's total length, so that link-layer padding is never taken for payload.
class CIPHeader : public CUObject
{
public:
    void Read(CUBuffer& buffer) override;
    // The header as captured (options included), with whatever PrepareUDPPacket set.
    void Write(CUBuffer& buffer) override;

    int GetProtocol() const;
    uint32_t GetSource() const;
    uint32_t GetDestination() const;
    void SetDestination(uint32_t address);

    // Makes this header and `udp` stream out as a valid IPv4/UDP datagram for the
    // current destination: lengths and both checksums computed afresh.
    void PrepareUDPPacket(CUDPHeader& udp);

    // Non-zero when the last Read found a complete, well-formed IPv4 header.
    int IsValid() const { return m_valid; }
    // Non-zero for a fragment (more-fragments set or a non-zero offset): its bytes
    // are not a whole datagram and are never forwarded.
    int IsFragment() const;
    int GetHeaderLength() const { return m_headerLength; }
    int GetTotalLength() const;
    uint16_t GetChecksum() const; // host byte order

    // The Internet checksum (RFC 1071): AddToSum gathers the one's complement sum of
    // 16-bit big-endian words (an odd last byte is padded with zero), FinishSum folds
    // and complements it. Sums of several pieces chain as long as all but the last
    // piece have an even length.
    static uint64_t AddToSum(uint64_t sum, const uint8_t* data, size_t length);
    static uint16_t FinishSum(uint64_t sum);
    static uint16_t Checksum(const uint8_t* data, size_t length)
    {
        return FinishSum(AddToSum(0, data, length));
    }

    static constexpr int MinLength = 20;
    static constexpr int MaxLength = 60;

private:
    uint8_t m_bytes[MaxLength] = {};
    int m_headerLength = 0;
    int m_valid = 0;
};

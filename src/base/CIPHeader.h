#pragma once

#include "base/CUObject.h"

#include <cstddef>
#include <cstdint>
#include <functional>

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
    // The source as captured, whatever SetSource set since.
    uint32_t GetCapturedSource() const { return m_capturedSource; }
    void SetSource(uint32_t address);

    // Makes this header and `udp` stream out as a valid IPv4/UDP datagram for the
    // current source and destination: lengths and both checksums computed afresh. A
    // fragment keeps its lengths and fragment fields; its header checksum is computed
    // afresh, and the first fragment's UDP checksum is updated for the new addresses. A
    // copy of a multicast datagram gets TTL 64 when its TTL is lower.
    void PrepareUDPPacket(CUDPHeader& udp);

    // Non-zero when the last Read found a complete, well-formed IPv4 header.
    int IsValid() const { return m_valid; }
    // Non-zero for a fragment (more-fragments set or a non-zero offset): its bytes
    // are not a whole datagram; only a fragment at offset 0 holds the UDP header.
    int IsFragment() const;
    int HasMoreFragments() const;
    int GetFragmentOffset() const; // in bytes
    // 224.0.0.0/4, network byte order.
    static int IsMulticast(uint32_t address);
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

    // Splits the IPv4 datagram `packet` (header first) into fragments of at most `mtu`
    // bytes, as a router would (RFC 791): each with its own header, offset and
    // more-fragments bit, Don't-Fragment cleared, options without the copy flag in the
    // first only. Hands each to `send` in order and gives 1 when every call gave
    // non-zero; 0 at once when `mtu` leaves no room for 8 bytes of data.
    static int Fragment(const uint8_t* packet, size_t length, size_t mtu,
                        const std::function<int(const uint8_t*, size_t)>& send);

    static constexpr int MinLength = 20;
    static constexpr int MaxLength = 60;

private:
    void UpdateHeaderChecksum();
    void PrepareFragment(CUDPHeader& udp);

    uint8_t m_bytes[MaxLength] = {};
    uint32_t m_capturedDestination = 0;
    // The destination the first fragment's UDP checksum covers at present: each user's
    // copy patches the previous one's.
    uint32_t m_checksumDestination = 0;
    uint32_t m_capturedSource = 0, m_checksumSource = 0; // the same for the source
    int m_headerLength = 0;
    int m_valid = 0;
};

#pragma once

#include "base/CUObject.h"

#include <cstdint>

class CUDPHeader;

// An IPv4 header (RFC 791) streamed out of a captured packet. Addresses are kept in
// network byte order, as they stand in the packet.
class CIPHeader : public CUObject {
public:
    void Read(CUBuffer& buffer) override;
    void Write(CUBuffer& buffer) override;

    int GetProtocol() const;
    uint32_t GetSource() const;
    uint32_t GetDestination() const;
    void SetDestination(uint32_t address);

    // Makes this header and `udp` stream out as a valid IPv4/UDP datagram for the
    // current destination: lengths and both checksums computed afresh.
    void PrepareUDPPacket(CUDPHeader& udp);
};

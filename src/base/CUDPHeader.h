#pragma once

#include "base/CUObject.h"

#include <cstdint>

// A UDP header (RFC 768) with the payload behind it.
class CUDPHeader : public CUObject {
public:
    void Read(CUBuffer& buffer) override;
    void Write(CUBuffer& buffer) override;

    uint16_t GetDestinationPort() const; // network byte order, as captured
    int GetPayloadLength() const;
};

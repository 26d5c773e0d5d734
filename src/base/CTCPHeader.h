#pragma once

#include "base/CUObject.h"

#include <cstdint>
#include <vector>

// A TCP header (RFC 793) with the payload behind it. The forwarder only needs its
// payload length; TCP is never re-sent.
class CTCPHeader : public CUObject
{
public:
    CTCPHeader();

    void Read(CUBuffer& buffer) override;
    void Write(CUBuffer& buffer) override;

    int GetPayloadLength() const;
    int IsValid() const { return m_valid; }

    static constexpr int MinLength = 20;
    static constexpr int MaxLength = 60;

private:
    uint8_t m_header[MaxLength] = {};
    int m_headerLength = 0;
    std::vector<uint8_t> m_payload;
    int m_valid = 0;
};

#pragma once

#include <cstdint>

// Big-endian (network order) fields in byte arrays: packet headers and the framing of
// buffers and connections all read and write their numbers through these.
inline uint16_t GetBigEndian16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline void PutBigEndian16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline uint32_t GetBigEndian32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void PutBigEndian32(uint8_t* p, uint32_t value)
{
    PutBigEndian16(p, static_cast<uint16_t>(value >> 16));
    PutBigEndian16(p + 2, static_cast<uint16_t>(value));
}

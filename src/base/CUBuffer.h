#pragma once

#include "base/CUString.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CUObject;

// A byte buffer with a read position. Integers travel as 32-bit big-endian values,
// strings as a 32-bit big-endian byte count followed by the bytes (no terminator).
//
// Extraction never reads past the data or past the read limit: when the bytes are
// not there it gives 0 or an empty string, sets the failed flag and moves the read
// position to the limit, so that a reading loop ends. A string length is checked
// against the bytes present before anything is allocated.
class CUBuffer
{
public:
    const uint8_t* GetData() const { return m_data.data() + m_begin; }
    size_t GetDataLength() const { return m_data.size() - m_begin; }
    int GetReadPosition() const { return static_cast<int>(m_pos); }
    size_t Remaining() const { return Limit() - m_pos; }

    // Moves the read position by `delta`, kept within 0 and the read limit.
    void Seek(long delta);
    void SetReadPosition(size_t pos);

    // Extraction stops at `limit` (counted from the front) until ClearReadLimit.
    void SetReadLimit(size_t limit) { m_limit = limit; }
    void ClearReadLimit() { m_limit = SIZE_MAX; }

    bool Failed() const { return m_failed; }
    void ClearFailed() { m_failed = false; }

    void Append(const void* data, size_t length);
    // Removes `count` bytes from the front; the read position moves back with them.
    void Remove(size_t count);
    // Empties the buffer (keeping its capacity), resets position, limit and failed flag.
    void Clear();
    void Reserve(size_t capacity) { m_data.reserve(m_begin + capacity); }

    // Gives a pointer to the next `length` bytes and moves past them, or null (and
    // sets the failed flag) when fewer remain.
    const uint8_t* ReadBytes(size_t length);

    CUBuffer& operator<<(int32_t value);
    CUBuffer& operator<<(const CUString& text);
    CUBuffer& operator<<(CUObject& obj);
    CUBuffer& operator>>(int32_t& value);
    CUBuffer& operator>>(CUString& text);
    CUBuffer& operator>>(CUObject& obj);

private:
    size_t Limit() const { return m_limit < GetDataLength() ? m_limit : GetDataLength(); }

    // The data starts at m_begin: removing from the front moves no bytes until the
    // removed part is the larger, so taking a stream apart message by message costs
    // time in proportion to its length, not to its length times the message count.
    std::vector<uint8_t> m_data;
    size_t m_begin = 0;
    size_t m_pos = 0;
    size_t m_limit = SIZE_MAX;
    bool m_failed = false;
};

#include "base/CUBuffer.h"

#include "base/ByteOrder.h"

#include "base/CUObject.h"

#include <cstring>

void CUBuffer::Seek(long delta)
{
    long pos = static_cast<long>(m_pos) + delta;
    long limit = static_cast<long>(Limit());
    if (pos < 0)
        pos = 0;
    if (pos > limit)
        pos = limit;
    m_pos = static_cast<size_t>(pos);
}

void CUBuffer::SetReadPosition(size_t pos)
{
    m_pos = pos < Limit() ? pos : Limit();
}

void CUBuffer::Append(const void* data, size_t length)
{
    if (length == 0)
        return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    m_data.insert(m_data.end(), bytes, bytes + length);
}

void CUBuffer::Remove(size_t count)
{
    if (count >= GetDataLength()) {
        m_data.clear();
        m_begin = 0;
        m_pos = 0;
    } else {
        m_begin += count;
        if (m_begin >= m_data.size() - m_begin) {
            m_data.erase(m_data.begin(), m_data.begin() + static_cast<long>(m_begin));
            m_begin = 0;
        }
        m_pos = m_pos > count ? m_pos - count : 0;
    }
    m_limit = SIZE_MAX;
}

void CUBuffer::Clear()
{
    m_data.clear();
    m_begin = 0;
    m_pos = 0;
    m_limit = SIZE_MAX;
    m_failed = false;
}

const uint8_t* CUBuffer::ReadBytes(size_t length)
{
    if (length > Remaining()) {
        m_failed = true;
        m_pos = Limit();
        return nullptr;
    }
    const uint8_t* p = GetData() + m_pos;
    m_pos += length;
    return p;
}

CUBuffer& CUBuffer::operator<<(int32_t value)
{
    uint8_t bytes[4];
    PutBigEndian32(bytes, static_cast<uint32_t>(value));
    Append(bytes, sizeof bytes);
    return *this;
}

CUBuffer& CUBuffer::operator<<(const CUString& text)
{
    *this << static_cast<int32_t>(text.GetLength());
    Append(text.c_str(), static_cast<size_t>(text.GetLength()));
    return *this;
}

CUBuffer& CUBuffer::operator<<(CUObject& obj)
{
    obj.Write(*this);
    return *this;
}

CUBuffer& CUBuffer::operator>>(int32_t& value)
{
    const uint8_t* p = ReadBytes(4);
    if (!p) {
        value = 0;
        return *this;
    }
    value = static_cast<int32_t>(GetBigEndian32(p));
    return *this;
}

CUBuffer& CUBuffer::operator>>(CUString& text)
{
    int32_t length = 0;
    *this >> length;
    // The length comes from the other side: check it against what is really here
    // before anything is allocated.
    if (m_failed || length < 0 || static_cast<size_t>(length) > Remaining()) {
        m_failed = true;
        m_pos = Limit();
        text.Empty();
        return *this;
    }
    const uint8_t* p = ReadBytes(static_cast<size_t>(length));
    text = CUString(std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(length)));
    return *this;
}

CUBuffer& CUBuffer::operator>>(CUObject& obj)
{
    obj.Read(*this);
    return *this;
}

#include "base/CUString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int CUString::Compare(const char* other) const
{
    return std::strcmp(m_text.c_str(), other ? other : "");
}

int CUString::CompareNoCase(const char* other) const
{
    // ASCII letters only, whatever the locale: strcasecmp under tr_TR keeps "I" and "i"
    // apart, and would make "MIKE" and "mike" two players.
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    const auto* a = reinterpret_cast<const unsigned char*>(m_text.c_str());
    const auto* b = reinterpret_cast<const unsigned char*>(other ? other : "");
    for (; *a && fold(*a) == fold(*b); ++a, ++b) {
    }
    return fold(*a) - fold(*b);
}

int CUString::Find(const char* sub) const
{
    auto pos = m_text.find(sub ? sub : "");
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CUString::Find(char c) const
{
    auto pos = m_text.find(c);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CUString CUString::Left(int count) const
{
    if (count <= 0)
        return CUString();
    return CUString(m_text.substr(0, static_cast<size_t>(count)));
}

CUString CUString::Right(int count) const
{
    if (count <= 0)
        return CUString();
    if (count >= GetLength())
        return *this;
    return CUString(m_text.substr(m_text.size() - static_cast<size_t>(count)));
}

int CUString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int length = FormatV(format, args);
    va_end(args);
    return length;
}

int CUString::FormatV(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        m_text.clear();
        return 0;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    m_text = std::move(text);
    return length;
}

CUString CUString::ParseOneArg(const char* delimiters, int /*flag*/)
{
    auto pos = m_text.find_first_of(delimiters ? delimiters : "");
    if (pos == std::string::npos) {
        CUString token(std::move(m_text));
        m_text.clear();
        return token;
    }
    CUString token(m_text.substr(0, pos));
    m_text.erase(0, pos + 1);
    return token;
}

void CUString::Replace(char from, char to)
{
    for (char& c : m_text)
        if (c == from)
            c = to;
}

int CUString::ParseIPAddress(const char* text, uint32_t& value)
{
    value = 0;
    if (!text)
        return 0;
    const char* p = text;
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return 0;
        int digits = 0;
        uint32_t octet = 0;
        // Decimal whatever the leading zeros: "010" is ten, never octal eight.
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > MaxOctetDigits)
                return 0;
            octet = octet * 10 + static_cast<uint32_t>(*p - '0');
        }
        if (digits == 0 || octet > 255)
            return 0;
        address = address << 8 | octet;
    }
    if (*p != '\0')
        return 0;
    value = address;
    return 1;
}

int CUString::ValidateIPAddress(const char* text)
{
    uint32_t value;
    return ParseIPAddress(text, value);
}

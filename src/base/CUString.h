#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// Zero-terminated single-byte text. Comparisons give 0 when equal.
class CUString
{
public:
    CUString() = default;
    CUString(const char* text) : m_text(text ? text : "") {}
    CUString(std::string text) : m_text(std::move(text)) {}

    const char* c_str() const { return m_text.c_str(); }
    const std::string& Str() const { return m_text; }
    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }

    int Compare(const char* other) const;       // exact, strcmp-like sign
    int CompareNoCase(const char* other) const; // ASCII case ignored
    int Find(const char* sub) const;            // index or -1
    int Find(char c) const;                     // index or -1
    CUString Left(int count) const;
    CUString Right(int count) const;

    // printf-style; replaces the text. Gives the new length.
    int Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same with the arguments already gathered, for other printf-style functions.
    int FormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    // Takes the first token off the text: the text up to the first character of
    // `delimiters` (the whole text when none occurs). Afterwards the string holds only
    // what follows that one delimiter character. `flag` is accepted for the callers'
    // sake and has no further meaning.
    CUString ParseOneArg(const char* delimiters, int flag = 1);

    // Replaces every occurrence of `from` with `to`.
    void Replace(char from, char to);

    // Non-zero for exactly four dot-separated decimal numbers 0..255 of one to three
    // digits each and nothing else; leading zeros are decimal ("010" is ten).
    static int ValidateIPAddress(const char* text);
    // The same reading, giving the address as a number (host byte order); one parser
    // for both, so that what the editor accepts is the address that is sent to.
    static int ParseIPAddress(const char* text, uint32_t& value);
    static constexpr int MaxOctetDigits = 3;

    CUString& operator=(const char* text)
    {
        m_text = text ? text : "";
        return *this;
    }
    bool operator==(const CUString& other) const { return m_text == other.m_text; }
    bool operator==(const char* other) const { return m_text == (other ? other : ""); }

private:
    std::string m_text;
};

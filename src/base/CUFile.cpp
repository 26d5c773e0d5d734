#include "base/CUFile.h"

#include <cstdarg>
#include <cstring>
#include <unistd.h>

int CUFile::Open(const char* path, int /*flag*/)
{
    Close();
    m_file = std::fopen(path, "rb");
    m_writing = false;
    m_error = false;
    return m_file != nullptr;
}

int CUFile::Create(const char* path, int /*flag*/)
{
    Close();
    m_file = std::fopen(path, "wb");
    m_writing = true;
    m_error = false;
    return m_file != nullptr;
}

int CUFile::IsEOF()
{
    if (!m_file)
        return 1;
    int c = std::fgetc(m_file);
    if (c == EOF)
        return 1;
    std::ungetc(c, m_file);
    return 0;
}

int CUFile::ReadString(CUString& line, const char* delimiters, int /*flag*/)
{
    line.Empty();
    if (!m_file)
        return 0;
    std::string text;
    bool any = false;
    int c;
    while ((c = std::fgetc(m_file)) != EOF) {
        any = true;
        if (c != 0 && std::strchr(delimiters, c))
            break;
        // An endless line must not take endless memory: keep the first MaxLine bytes.
        if (text.size() < MaxLine)
            text.push_back(static_cast<char>(c));
    }
    line = CUString(std::move(text));
    return any ? 1 : 0;
}

int CUFile::Write(const char* format, ...)
{
    if (!m_file || !m_writing) {
        m_error = true;
        return 0;
    }
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(m_file, format, args);
    va_end(args);
    if (written < 0) {
        m_error = true;
        return 0;
    }
    return 1;
}

int CUFile::Flush()
{
    if (!m_file)
        return 0;
    if (std::fflush(m_file) != 0 || fsync(fileno(m_file)) != 0) {
        m_error = true;
        return 0;
    }
    return 1;
}

int CUFile::Close()
{
    if (!m_file)
        return 0;
    bool failed = m_error || std::ferror(m_file);
    if (std::fclose(m_file) != 0)
        failed = true;
    m_file = nullptr;
    m_error = false;
    return failed ? 0 : 1;
}

int CUFile::Rename(const char* from, const char* to)
{
    return std::rename(from, to) == 0;
}

int CUFile::Remove(const char* path)
{
    return std::remove(path) == 0;
}

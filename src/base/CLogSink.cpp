#include "base/CLogSink.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void CLogSink::Message(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    AddLine(CUString(std::move(text)));
}

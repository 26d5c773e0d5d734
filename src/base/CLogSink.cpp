#include "base/CLogSink.h"

#include <cstdarg>

void CLogSink::Message(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    CUString line;
    line.FormatV(format, args);
    va_end(args);
    AddLine(line);
}

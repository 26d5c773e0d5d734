#include "autoconfig/CLogRound.h"

#include <cstdarg>

void CLogRound::Warning(Kind kind, const char* format, ...)
{
    if (kind == m_kind) {
        ++m_more;
        return;
    }
    Flush();
    va_list args;
    va_start(args, format);
    m_first.FormatV(format, args);
    va_end(args);
    m_kind = kind;
}

void CLogRound::Flush()
{
    if (m_kind == None)
        return;
    if (m_log && m_more > 0)
        m_log->Message("%s (and %d more like it)", m_first.c_str(), m_more);
    else if (m_log)
        m_log->Message("%s", m_first.c_str());
    m_kind = None;
    m_more = 0;
}

void CLogRound::AddLine(const CUString& line)
{
    Flush();
    if (m_log)
        m_log->Message("%s", line.c_str());
}

#pragma once

#include "base/CUString.h"

// Where log lines go. Message may be called from any thread; an implementation
// must never wait for another thread's work to take a line.
class CLogSink
{
public:
    virtual ~CLogSink() = default;
    void Message(const char* format, ...) __attribute__((format(printf, 2, 3)));

protected:
    virtual void AddLine(const CUString& line) = 0;
};

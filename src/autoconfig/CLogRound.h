#pragma once

#include "base/CLogSink.h"

// The log of one input round of one connection: its lines go on to the real log in
// order, except that a warning of the same kind as the one before it is only counted.
// A run of such warnings becomes one line, the first of them with the count of the
// others, written when another line comes or the round ends.
class CLogRound : public CLogSink
{
public:
    enum Kind { None, UnknownCommand, Malformed, InvalidAddress };

    explicit CLogRound(CLogSink* log) : m_log(log) {}
    ~CLogRound() override { Flush(); }
    CLogRound(const CLogRound&) = delete;
    CLogRound& operator=(const CLogRound&) = delete;

    void Warning(Kind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Writes the pending warning line, if any.
    void Flush();

protected:
    void AddLine(const CUString& line) override;

private:
    CLogSink* m_log; // may be null: nothing is logged
    Kind m_kind = None;
    CUString m_first;
    int m_more = 0;
};

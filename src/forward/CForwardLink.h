#pragma once

#include "base/CScopedFd.h"
#include "base/CUString.h"
#include "forward/CForwardStats.h"
#include "forward/ForwardProtocol.h"

#include <sys/types.h>

#include <cstdio>
#include <thread>
#include <vector>

class CSettings;

// The window's side of the forwarding helper: starts kivora-forward over a socketpair
// for one forwarding run, tells it what to forward, reads its counters and stops it.
// Every wait is bounded; nothing the helper sends can make this side block or grow.
class CForwardLink
{
public:
    CForwardLink();
    // Stops a run: no helper this link started outlives it.
    ~CForwardLink();
    CForwardLink(const CForwardLink&) = delete;
    CForwardLink& operator=(const CForwardLink&) = delete;

    // Where the helper is taken from; empty (the default) finds it beside the running
    // program, else in ../libexec/kivora/ from the program's folder.
    static void SetHelperPath(const char* path);
    // The helper's real path (links resolved), or where it was looked for.
    static CUString GetHelperPath();

    // Starts the helper and waits (bounded) until it forwards. Gives 0 and fills
    // `error` with the text to show when it does not; IsDenied() then tells whether
    // a missing capability was the cause (the text then carries the setcap advice).
    int Start(const ForwardProtocol::CForwardStart& what, CUString& error);
    int IsRunning() const { return m_link.IsOpen(); }
    int IsDenied() const { return m_denied; }
    pid_t GetHelperPid() const { return m_pid; }

    // Takes in what the helper sent without waiting; `stats` gets the latest counters.
    // Gives 0 once the helper has ended by itself; GetEndReason() then says how.
    int Poll(CForwardStats& stats);
    const CUString& GetEndReason() const { return m_endReason; }

    // Asks the helper to stop and waits (bounded) until it has stopped sending;
    // `stats` gets the final counters. The helper's exit is collected as soon as it
    // comes, on a thread of this link's (bounded, then SIGKILL). Gives 0 when the
    // helper did not answer in time and had to be killed.
    int Stop(CForwardStats& stats);

    // What a run forwards for `settings`: the switch, the external address and the
    // checked users' addresses in list order. Which broadcasts are this machine's own
    // the helper finds out itself.
    static ForwardProtocol::CForwardStart WhatToForward(const CSettings& settings);

    // The stop's lines for stderr: the summary and one line per kind of send error.
    static void WriteSummary(std::FILE* out, const CForwardStats& stats);

private:
    long Receive() { return ForwardProtocol::Receive(m_link.Get(), m_buffer); }
    bool WaitReadable(int timeoutMs)
    {
        return ForwardProtocol::WaitReadable(m_link.Get(), timeoutMs);
    }
    void Close();
    // Waits for the collector of the last stopped helper (bounded by its own wait).
    void JoinCollector();
    // Ends the run's helper: waits up to `waitMs` for it to exit, then kills it.
    // Gives how it ended, as text.
    CUString Finish(int waitMs);

    CScopedFd m_link;
    pid_t m_pid = -1;
    int m_denied = 0;
    CUString m_endReason;
    CForwardStats m_last;
    std::vector<uint8_t> m_buffer;
    std::thread m_collector; // waits for a stopped helper's exit
};

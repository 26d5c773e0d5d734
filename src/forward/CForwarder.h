#pragma once

#include "base/CThreadHelper.h"
#include "base/CUSocket.h"
#include "base/CUString.h"
#include "forward/CForwardFilter.h"
#include "forward/CForwardStats.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CIPHeader;
class CSettings;

// The forwarding worker: captures this machine's own UDP broadcasts to
// 255.255.255.255 (and with the settings' ForwardMore, its subnet broadcasts and
// multicast to games' groups) and re-sends each one to every checked user, through
// one raw send socket shared by all of them.
//
// Use: construct, OpenCapture (so that a failure can be reported before anything
// runs), then StartThread(ForwardThread, 0). Destroying it stops and joins the thread.
class CForwarder : public CThreadHelper
{
public:
    explicit CForwarder(CSettings* settings);
    // Asks the thread to stop, wakes the capture and waits for the thread's end.
    ~CForwarder() override;

    // Opens the capture and the send socket. Gives 0 and fills `error` when either
    // fails; IsDenied() then tells whether a missing permission was the cause.
    // `kernelFilter` 0 leaves all filtering to user space (for measurements only).
    int OpenCapture(CUString& error, int kernelFilter = 1);
    // Replays a recorded .pcap file instead of the live capture (sends are live).
    int OpenCaptureFile(const char* path, CUString& error);
    int IsDenied() const { return m_denied; }

    // Wakes a capture read that waits for a packet; the loop then sees the state word.
    void Wake();
    // Closes the capture once the thread has ended. Closing may wait for the kernel,
    // so a stop can answer first and close afterwards.
    void CloseCapture();

    // The capture loop, run by StartThread(ForwardThread, 0). Always gives 0. Ends at
    // once when no capture was opened.
    static unsigned ForwardThread(void* forwarder);

    // A copy of the counters so far; safe from any thread while the loop runs.
    void GetStats(CForwardStats& stats) const;
    // This machine's addresses (its interfaces and its address toward the default
    // route) with the external one: what an own broadcast comes from. Network order,
    // 0.0.0.0 left out.
    static std::vector<uint32_t> FindOwnAddresses(const char* externalIP);

    CSettings* Settings;
    // This machine's addresses with the external one, network byte order. Left empty,
    // the run finds them itself when it starts.
    std::vector<uint32_t> OwnAddresses;
    // false leaves the counters at 0: for measuring what counting costs, nothing else.
    bool KeepCounters = true;
    // Called on the forwarding thread after the counters changed and as the loop ends,
    // so that a reader can sleep until then. Must not block. Set before StartThread.
    std::function<void()> OnChange;

private:
    void Run();
    // The switch and this machine's broadcast addresses, read when forwarding starts.
    void ReadDestinations();
    int OpenSender(CUString& error);
    void PrepareCounters();
    void CountSend(size_t user, int ok, int error);

    // Written by the forwarding thread alone and read by GetStats: relaxed atomics
    // are plain loads and stores here, with no lock and no allocation per packet.
    using Counter = std::atomic<uint64_t>;
    struct UserCounters {
        Counter Sent{0}, Failed{0};
        std::atomic<int> LastError{0};
    };
    struct ErrorCounter {
        std::atomic<int> Error{0};
        Counter Count{0};
    };
    Counter m_captured{0}, m_sent{0}, m_failed{0};
    std::atomic<int> m_lastError{0};
    std::atomic<int64_t> m_lastCaptureMs{-1};
    std::unique_ptr<UserCounters[]> m_users;
    size_t m_userCount = 0;
    std::array<ErrorCounter, CForwardStats::MaxErrorKinds> m_errors;

    CUSocket m_capture;
    CForwardFilter m_filter;
    CUSocket m_sender; // the run's one raw send socket
    int m_denied = 0;
};

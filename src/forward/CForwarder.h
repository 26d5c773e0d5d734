#pragma once

#include "base/CCaptureSocket.h"
#include "base/CLocalInterfaces.h"
#include "base/CRawSocket.h"
#include "base/CRouteWatch.h"
#include "base/CThreadHelper.h"
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
class CUDPHeader;

// The forwarding worker: captures this machine's own UDP broadcasts to
// 255.255.255.255 (and with ForwardMore, its subnet broadcasts and multicast to
// games' groups) and re-sends each one to every destination, through one raw send
// socket shared by all of them. What "own" means it finds out itself: a packet whose
// source is an address of this machine's interfaces (CLocalInterfaces), leaving by an
// interface that is no other's port; never what a caller says.
//
// Use: construct with what to forward, OpenCapture (so that a failure can be
// reported before anything runs), then StartThread(ForwardThread, 0). Destroying it
// stops and joins the thread. The helper opens the devices itself (OpenDevices),
// gives up its privilege and only then hands them over (Adopt).
class CForwarder : public CThreadHelper
{
public:
    // `destinations`: the checked users' addresses in User List order, network byte
    // order; `external`: the external address (network order, 0 when none), which
    // counts as this machine's only when one of its interfaces has it;
    // `forwardMore`: also subnet broadcasts and games' groups.
    CForwarder(std::vector<uint32_t> destinations, uint32_t external, int forwardMore);
    // Asks the thread to stop, wakes the capture and waits for the thread's end.
    ~CForwarder() override;

    // Opens the live capture and the raw send socket: the part that needs CAP_NET_RAW.
    // Gives 0 and fills `error` when either fails; `denied` tells whether a missing
    // permission was the cause.
    static int OpenDevices(CCaptureSocket& capture, CRawSocket& sender, CUString& error,
                           int& denied);
    // Takes the opened devices and sets the capture's filter for what to forward
    // (needs no privilege). `kernelFilter` 0 leaves all filtering to user space (for
    // measurements only).
    int Adopt(CCaptureSocket&& capture, CRawSocket&& sender, CUString& error, int kernelFilter = 1);
    // OpenDevices and Adopt in one: for a forwarder in a capable process.
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
    // Makes the loop read this machine's interfaces and addresses again before it
    // judges the next packet (an address or a port came or went). Safe from any thread.
    void RefreshOwnAddresses() { m_refresh.store(true); }

    uint32_t GetExternal() const { return m_external; }
    // false leaves the counters at 0: for measuring what counting costs, nothing else.
    bool KeepCounters = true;
    // Called on the forwarding thread after the counters changed and as the loop ends,
    // so that a reader can sleep until then. Must not block. Set before StartThread.
    std::function<void()> OnChange;

private:
    void Run();
    // This machine's interfaces: its own addresses, their broadcast addresses and
    // which interfaces are ports. Read when forwarding starts and on RefreshOwnAddresses.
    void ReadInterfaces();
    // Non-zero for a packet that left by an interface of this machine's own, not by a
    // port of another: 0 for an index of no interface even after a new look.
    int IsOwnInterface(int index);
    // Re-addresses the captured datagram to `to` and sends it: 0 when the send failed
    // or the route allows none, with the cause in `error`.
    int SendCopy(uint32_t to, const CRoute* route, CIPHeader& ip, CUDPHeader& udp, int& error);
    // The route to every destination, found again whenever routes or addresses change.
    void ReadRoutes();
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
    std::array<ErrorCounter, CForwardStats::MaxErrorKinds> m_errors;

    const std::vector<uint32_t> m_destinations;
    const uint32_t m_external;
    const int m_forwardMore;
    std::atomic<bool> m_refresh{false};
    CCaptureSocket m_capture;
    CLocalInterfaces m_interfaces;
    CForwardFilter m_filter;
    CRawSocket m_sender; // the run's one raw send socket
    CRouteWatch m_routeWatch;
    std::vector<CRoute> m_routes; // per destination; empty when routes cannot be read
    int m_denied = 0;
};

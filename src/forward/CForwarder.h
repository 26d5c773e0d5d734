#pragma once

#include "base/CThreadHelper.h"
#include "base/CUSocket.h"
#include "base/CUString.h"
#include "forward/CForwardFilter.h"

#include <cstdint>
#include <vector>

class CIPHeader;
class CSettings;

// The forwarding worker: captures this machine's own UDP broadcasts to
// 255.255.255.255 (and with the settings' ForwardMore, its subnet broadcasts and
// multicast to games' groups) and re-sends each one to every checked user.
//
// Use: construct, OpenCapture (on the GUI thread, so a failure can be shown), then
// StartThread(ForwardThread, 0). Destroying it stops and joins the thread.
class CForwarder : public CThreadHelper
{
public:
    explicit CForwarder(CSettings* settings);
    // Asks the thread to stop, wakes the capture and waits for the thread's end.
    ~CForwarder() override;

    // Sets the capture up on the caller's thread, so that a failure can be shown to
    // the person who pressed Start. Gives 0 and fills `error` when it fails.
    // `kernelFilter` 0 leaves all filtering to user space (for measurements only).
    int OpenCapture(CUString& error, int kernelFilter = 1);
    // Replays a recorded .pcap file instead of the live capture.
    int OpenCaptureFile(const char* path, CUString& error);

    // Wakes a capture read that waits for a packet; the loop then sees the state word.
    void Wake();

    // The capture loop, run by StartThread(ForwardThread, 0). Always gives 0. Ends at
    // once when no capture was opened.
    static unsigned ForwardThread(void* forwarder);

    CSettings* Settings;

private:
    void Run();
    // The switch and this machine's broadcast addresses, read when forwarding starts.
    void ReadDestinations();

    CUSocket m_capture;
    CForwardFilter m_filter;
};

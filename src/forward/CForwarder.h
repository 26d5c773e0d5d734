#pragma once

#include "base/CThreadHelper.h"
#include "base/CUSocket.h"
#include "base/CUString.h"

class CSettings;

// The forwarding worker: captures this machine's own UDP broadcasts to
// 255.255.255.255 and re-sends each one to every checked user of the settings.
class CForwarder : public CThreadHelper {
public:
    explicit CForwarder(CSettings* settings);
    // Asks the thread to stop, wakes the capture and waits for the thread's end.
    ~CForwarder() override;

    // Sets the capture up on the caller's thread, so that a failure can be shown to
    // the person who pressed Start. Gives 0 and fills `error` when it fails.
    int OpenCapture(CUString& error);

    // Wakes a capture read that waits for a packet; the loop then sees the state word.
    void Wake();

    // The capture loop, run by StartThread(ForwardThread, 0). Always gives 0.
    static unsigned ForwardThread(void* forwarder);

    CSettings* Settings;

private:
    CUSocket m_capture;
};

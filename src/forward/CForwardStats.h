#pragma once

#include <cstdint>
#include <vector>

// What one forwarding run has done so far. The forwarding loop keeps these as plain
// counters (no lock, no allocation per packet); the window reads a copy a few times
// a second to show that forwarding works, and why a send failed.
struct CForwardUserStats {
    uint64_t Sent = 0;   // copies the kernel took for this user
    uint64_t Failed = 0; // copies whose send failed
    int LastError = 0;   // errno of the last failed send; 0 when none failed
};

// How often one errno ended a send, for the summary line at the stop.
struct CForwardErrorCount {
    int Error = 0;
    uint64_t Count = 0;
};

struct CForwardStats {
    uint64_t Captured = 0; // datagrams accepted for forwarding
    uint64_t Sent = 0;
    uint64_t Failed = 0;
    int LastError = 0;          // errno of the last failed send; 0 when none failed
    int64_t LastCaptureMs = -1; // CLOCK_MONOTONIC milliseconds of the last accepted one
    // One per checked user, in the order of the User List when the run started.
    std::vector<CForwardUserStats> Users{};
    // One per errno seen, in the order first seen; at most MaxErrorKinds (the rest
    // count only in Failed).
    std::vector<CForwardErrorCount> Errors{};
    static constexpr int MaxErrorKinds = 16;
};

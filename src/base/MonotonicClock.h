#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds of CLOCK_MONOTONIC: one clock for the whole machine, so that a time taken
// in the forwarding helper compares with one taken in the window.
inline int64_t MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

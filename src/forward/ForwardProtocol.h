#pragma once

// The messages between the window and its forwarding helper (docs/forward-helper.md).
// One message is one SOCK_SEQPACKET record: a type byte, then fixed-size fields in host
// byte order (both ends run on one machine) with IPv4 addresses in network order.
// Every decoder takes the record's bytes and its length, checks every count against
// its bound before reading, and gives 0 for anything malformed.

#include "base/CUString.h"
#include "forward/CForwardStats.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ForwardProtocol
{

enum : uint8_t {
    MsgStart = 1,   // window: what to forward
    MsgStop = 2,    // window: stop sending, answer with MsgStopped
    MsgStarted = 3, // helper: capture and send socket open, forwarding
    MsgFailed = 4,  // helper: could not start; kind and text
    MsgStats = 5,   // helper: the counters, at most every 250 ms while they change
    MsgStopped = 6, // helper: no copy is sent any more; the final counters
};

constexpr size_t MaxUsers = 4096;
constexpr size_t MaxText = 1024;
// The largest record either side sends or reads (a MsgStats with MaxUsers users).
constexpr size_t MaxMessage =
    1 + 3 * 8 + 4 + 8 + 4 + MaxUsers * 20 + 4 + CForwardStats::MaxErrorKinds * 12;

struct CForwardStart {
    int32_t ForwardMore = 0;     // 0 or 1
    uint32_t External = 0;       // the external address; 0 when none
    std::vector<uint32_t> Users; // the checked users' addresses, in list order
};

// The encoders give an empty record when the content exceeds the bounds.
std::vector<uint8_t> EncodeStart(const CForwardStart& start);
int DecodeStart(const uint8_t* data, size_t length, CForwardStart& start);

// `type` is MsgStats or MsgStopped.
std::vector<uint8_t> EncodeStats(uint8_t type, const CForwardStats& stats);
int DecodeStats(const uint8_t* data, size_t length, CForwardStats& stats);

// `denied` non-zero: the cause was a refused permission (the setcap advice helps).
std::vector<uint8_t> EncodeFailed(int denied, const CUString& text);
int DecodeFailed(const uint8_t* data, size_t length, int& denied, CUString& text);

// Both ends read the socketpair alike. Receive takes one waiting record into `buffer`
// (MaxMessage + 1 bytes) without blocking: its length, 0 at the end of the socketpair,
// -1 when none waits, -2 for a record longer than any message.
long Receive(int fd, std::vector<uint8_t>& buffer);
// Waits up to `timeoutMs` for a record or the end of the socketpair.
bool WaitReadable(int fd, int timeoutMs);

} // namespace ForwardProtocol

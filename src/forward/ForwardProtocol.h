#pragma once

// The contract between the window and its forwarding helper (docs/forward-helper.md):
// how the helper is started, how it ends, and the messages between the two. One
// message is one SOCK_SEQPACKET record: a type byte, then fixed-size fields in host
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

// The helper's end of the socketpair is this descriptor, and its command line is
// exactly: kivora-forward --parent <pid of the window>.
constexpr int LinkFd = 3;
constexpr char ParentOption[] = "--parent";
constexpr int ArgumentCount = 3;

// How the helper ends: its exit status.
enum class ExitStatus : int {
    Done = 0,           // stopped by the window, or the window went
    CouldNotStart = 1,  // capture or send socket not opened: MsgFailed says why
    NotTheProtocol = 2, // no MsgStart in time, a malformed one, or another record
    LoopEnded = 3,      // the forwarding loop ended without a stop: MsgStopped unasked
    PrivilegeKept = 4,  // the capabilities could not be given up: MsgFailed says why
    BadArguments = 5,   // not exactly the command line above
    BadLink = 6,        // LinkFd is not a SOCK_SEQPACKET Unix socket
    ParentGone = 7,     // the window that started it is gone already
};

enum : uint8_t {
    MsgStart = 1,   // window: what to forward
    MsgStop = 2,    // window: stop sending, answer with MsgStopped
    MsgStarted = 3, // helper: capture and send socket open, forwarding
    MsgFailed = 4,  // helper: could not start; kind and text
    MsgStats = 5,   // helper: the counters, at most every 250 ms while they change
    MsgStopped = 6, // helper: no copy is sent any more; the final counters
};

// At most this many users per run: the window refuses more, the helper too.
constexpr size_t MaxUsers = 4096;
constexpr size_t MaxText = 1024;
// Record sizes: a fixed part, then a size per entry of each list.
constexpr size_t StartSize = 1 + 4 + 4 + 4;             // type, switch, external, user count
constexpr size_t StartUserSize = 4;                     // an address
constexpr size_t StatsSize = 1 + 3 * 8 + 4 + 8 + 4 + 4; // type, totals, the two counts
constexpr size_t StatsUserSize = 8 + 8 + 4;             // sent, failed, last errno
constexpr size_t StatsErrorSize = 4 + 8;                // errno, count
constexpr size_t FailedSize = 1 + 4;                    // type, kind; then the text
// The largest record either side sends or reads (a MsgStats with MaxUsers users).
constexpr size_t MaxMessage =
    StatsSize + MaxUsers * StatsUserSize + CForwardStats::MaxErrorKinds * StatsErrorSize;

// What Receive gives besides a record's length.
enum : long {
    ReceiveEnd = 0,      // the end of the socketpair: the other side is gone
    ReceiveNone = -1,    // no record waits
    ReceiveTooLong = -2, // a record longer than any message, refused unread
};

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
// (MaxMessage + 1 bytes) without blocking: its length, or ReceiveEnd, ReceiveNone,
// ReceiveTooLong.
long Receive(int fd, std::vector<uint8_t>& buffer);
// Waits up to `timeoutMs` for a record or the end of the socketpair.
bool WaitReadable(int fd, int timeoutMs);

} // namespace ForwardProtocol

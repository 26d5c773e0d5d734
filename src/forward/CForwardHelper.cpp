#include "forward/CForwardHelper.h"

#include "base/MonotonicClock.h"
#include "forward/CForwarder.h"
#include "forward/ForwardProtocol.h"

#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

using namespace ForwardProtocol;

namespace
{

constexpr int StatsIntervalMs = 250;
constexpr int FirstMessageMs = 10000;

// Once the sockets are open CAP_NET_RAW has done its work: whatever happens later
// in this process happens without it.
void DropCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    ::syscall(SYS_capset, &header, none);
}

bool Send(int fd, const std::vector<uint8_t>& message, int flags = 0)
{
    return !message.empty() && ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | flags) ==
                                   static_cast<ssize_t>(message.size());
}

} // namespace

int CForwardHelper::Run(int fd)
{
    std::vector<uint8_t> buffer(MaxMessage + 1);
    CForwardStart start;
    if (!WaitReadable(fd, FirstMessageMs))
        return 2;
    const long length = Receive(fd, buffer);
    if (length <= 0 || !DecodeStart(buffer.data(), static_cast<size_t>(length), start))
        return 2;

    CForwarder forwarder(start.Users, start.External, start.ForwardMore);
    CUString error;
    if (!forwarder.OpenCapture(error)) {
        Send(fd, EncodeFailed(forwarder.IsDenied(), error));
        return 1;
    }
    DropCapabilities();
    if (!forwarder.StartThread(CForwarder::ForwardThread, 0)) {
        Send(fd, EncodeFailed(0, CUString("Could not start the forwarding thread")));
        return 1;
    }
    Send(fd, {MsgStarted});

    CForwardStats stats;
    uint64_t shownCaptured = 0, shownSent = 0, shownFailed = 0;
    int64_t lastShown = MonotonicMs();
    for (;;) {
        WaitReadable(fd, StatsIntervalMs);
        const long n = Receive(fd, buffer);
        if (n == 0)
            return 0; // the window is gone: the forwarder's destructor stops the loop
        if (n > 0) {
            if (n == 1 && buffer[0] == MsgStop)
                break;
            return 2; // nothing else may come after the start
        }
        if (n == -2)
            return 2;
        if (forwarder.GetState() == CThreadHelper::StopState) {
            // The loop ended without a stop: say so, with what it did.
            forwarder.GetStats(stats);
            Send(fd, EncodeStats(MsgStopped, stats));
            return 3;
        }
        if (MonotonicMs() - lastShown < StatsIntervalMs)
            continue;
        forwarder.GetStats(stats);
        if (stats.Captured == shownCaptured && stats.Sent == shownSent &&
            stats.Failed == shownFailed)
            continue;
        // A window that does not read loses updates; it never blocks this loop.
        if (Send(fd, EncodeStats(MsgStats, stats), MSG_DONTWAIT)) {
            shownCaptured = stats.Captured;
            shownSent = stats.Sent;
            shownFailed = stats.Failed;
            lastShown = MonotonicMs();
        }
    }
    // Answer as soon as no copy can leave any more; closing the capture may wait for
    // the kernel, and the player must not wait for that.
    forwarder.RequestStop();
    forwarder.Wake();
    forwarder.StopAndWait();
    forwarder.GetStats(stats);
    Send(fd, EncodeStats(MsgStopped, stats));
    ::shutdown(fd, SHUT_RDWR);
    forwarder.CloseCapture();
    return 0;
}

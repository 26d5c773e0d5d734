#include "forward/CForwardHelper.h"

#include "base/MonotonicClock.h"
#include "forward/CForwarder.h"
#include "forward/ForwardProtocol.h"

#include <sys/capability.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <vector>

using namespace ForwardProtocol;

namespace
{

constexpr int StatsIntervalMs = 250;
constexpr int FirstMessageMs = 10000;

// Once the sockets are open CAP_NET_RAW has done its work: whatever happens later
// in this process happens without it. The sets are read back, since a drop that did
// not take must end the helper, not let it go on with the privilege.
bool DropCapabilities(CUString& error)
{
    cap_t none = cap_init();
    const int set = none ? cap_set_proc(none) : -1;
    const int setError = errno;
    cap_t now = cap_get_proc();
    const bool clear = set == 0 && none && now && cap_compare(now, none) == 0;
    cap_free(now);
    cap_free(none);
    if (clear)
        return true;
    error.Format("Could not give up the capabilities: %s",
                 set != 0 ? std::strerror(setError) : "they are still held");
    return false;
}

bool Send(int fd, const std::vector<uint8_t>& message, int flags = 0)
{
    return !message.empty() && ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | flags) ==
                                   static_cast<ssize_t>(message.size());
}

} // namespace

ExitStatus CForwardHelper::Run(int fd)
{
    // The privileged part first, before anything the caller sends is read.
    CCaptureSocket capture;
    CRawSocket sender;
    CUString error;
    int denied = 0;
    if (!CForwarder::OpenDevices(capture, sender, error, denied)) {
        Send(fd, EncodeFailed(denied, error));
        return ExitStatus::CouldNotStart;
    }
    if (!DropCapabilities(error)) {
        Send(fd, EncodeFailed(0, error));
        return ExitStatus::PrivilegeKept;
    }

    std::vector<uint8_t> buffer(MaxMessage + 1);
    CForwardStart start;
    if (!WaitReadable(fd, FirstMessageMs))
        return ExitStatus::NotTheProtocol;
    const long length = Receive(fd, buffer);
    if (length <= 0 || !DecodeStart(buffer.data(), static_cast<size_t>(length), start))
        return ExitStatus::NotTheProtocol;

    CForwarder forwarder(start.Users, start.External, start.ForwardMore);
    if (!forwarder.Adopt(std::move(capture), std::move(sender), error)) {
        Send(fd, EncodeFailed(0, error));
        return ExitStatus::CouldNotStart;
    }
    if (!forwarder.StartThread(CForwarder::ForwardThread, 0)) {
        Send(fd, EncodeFailed(0, CUString("Could not start the forwarding thread")));
        return ExitStatus::CouldNotStart;
    }
    Send(fd, {MsgStarted});

    CForwardStats stats;
    uint64_t shownCaptured = 0, shownSent = 0, shownFailed = 0;
    int64_t lastShown = MonotonicMs();
    for (;;) {
        WaitReadable(fd, StatsIntervalMs);
        const long n = Receive(fd, buffer);
        if (n == ReceiveEnd)
            return ExitStatus::Done; // the window is gone: the forwarder's destructor stops the
                                     // loop
        if (n > 0) {
            if (n == 1 && buffer[0] == MsgStop)
                break;
            return ExitStatus::NotTheProtocol; // nothing else may come after the start
        }
        if (n == ReceiveTooLong)
            return ExitStatus::NotTheProtocol;
        if (forwarder.GetState() == CThreadHelper::StopState) {
            // The loop ended without a stop: say so, with what it did.
            forwarder.GetStats(stats);
            Send(fd, EncodeStats(MsgStopped, stats));
            return ExitStatus::LoopEnded;
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
    return ExitStatus::Done;
}

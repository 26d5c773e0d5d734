#include "forward/CForwardHelper.h"

#include "base/CScopedFd.h"
#include "base/MonotonicClock.h"
#include "forward/CForwarder.h"
#include "forward/ForwardProtocol.h"

#include <poll.h>
#include <sys/capability.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

using namespace ForwardProtocol;

namespace
{

constexpr int StatsIntervalMs = 250; // counters go to the window at most 4 times a second
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

// Wakes the helper's loop when the forwarding thread has counted something: at most
// one eventfd write per sleep of the loop, which arms it before it reads the counters.
class CChangeSignal
{
public:
    CChangeSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    CChangeSignal(const CChangeSignal&) = delete;
    CChangeSignal& operator=(const CChangeSignal&) = delete;
    int Fd() const { return m_fd.Get(); }
    // The forwarding thread, after its counters changed. Both flags are sequentially
    // consistent: either the loop's Arm sees this change or this sees the loop armed.
    void Notify()
    {
        m_changes.store(m_changes.load(std::memory_order_relaxed) + 1);
        if (m_armed.load() && m_armed.exchange(false))
            ::eventfd_write(m_fd.Get(), 1);
    }
    // The loop, before it reads the counters: a later change wakes it. Gives how many
    // changes there were; the counters read afterwards hold at least these.
    uint64_t Arm()
    {
        m_armed.store(true);
        return m_changes.load();
    }
    void Drain()
    {
        eventfd_t count;
        ::eventfd_read(m_fd.Get(), &count);
    }

private:
    CScopedFd m_fd;
    std::atomic<bool> m_armed{false};
    std::atomic<uint64_t> m_changes{0};
};

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

    CChangeSignal changed; // outlives the forwarder, whose thread signals it to the end
    CForwarder forwarder(start.Users, start.External, start.ForwardMore);
    if (!forwarder.Adopt(std::move(capture), std::move(sender), error)) {
        Send(fd, EncodeFailed(0, error));
        return ExitStatus::CouldNotStart;
    }
    forwarder.OnChange = [&changed] { changed.Notify(); };
    if (!forwarder.StartThread(CForwarder::ForwardThread, 0)) {
        Send(fd, EncodeFailed(0, CUString("Could not start the forwarding thread")));
        return ExitStatus::CouldNotStart;
    }
    Send(fd, {MsgStarted});

    CForwardStats stats;
    uint64_t shown = changed.Arm(); // the changes the window has seen the counters of
    int64_t lastShown = MonotonicMs() - StatsIntervalMs;
    bool pending = false; // the eventfd said that the counters changed
    for (;;) {
        pending = pending || changed.Fd() < 0; // without the eventfd: read every interval
        // With nothing forwarded this sleeps until the window speaks: no timer runs.
        const int64_t due = lastShown + StatsIntervalMs - MonotonicMs();
        pollfd ready[2] = {{fd, POLLIN, 0}, {changed.Fd(), POLLIN, 0}};
        ::poll(ready, 2,
               pending ? static_cast<int>(std::clamp<int64_t>(due, 0, StatsIntervalMs)) : -1);
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
        if (ready[1].revents & POLLIN) {
            changed.Drain();
            pending = true;
        }
        if (forwarder.GetState() == CThreadHelper::StopState) {
            // The loop ended without a stop: say so, with what it did.
            forwarder.GetStats(stats);
            Send(fd, EncodeStats(MsgStopped, stats));
            return ExitStatus::LoopEnded;
        }
        if (!pending || MonotonicMs() - lastShown < StatsIntervalMs)
            continue;
        pending = false;
        const uint64_t changes = changed.Arm();
        if (changes == shown)
            continue; // counters that did not change are not sent
        forwarder.GetStats(stats);
        lastShown = MonotonicMs();
        // A window that does not read loses updates; it never blocks this loop. The
        // update is tried again one interval later.
        if (Send(fd, EncodeStats(MsgStats, stats), MSG_DONTWAIT))
            shown = changes;
        else
            pending = true;
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

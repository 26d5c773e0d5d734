#include "forward/CForwarder.h"

#include "base/CIPHeader.h"
#include "base/CUDPHeader.h"
#include "base/MonotonicClock.h"

#include <arpa/inet.h>

#include <netinet/in.h>

#include <algorithm>

namespace
{

constexpr auto Relaxed = std::memory_order_relaxed;

// One writer: a load and a store, never a locked read-modify-write.
template <class T>
void Add(std::atomic<T>& counter, T amount)
{
    counter.store(counter.load(Relaxed) + amount, Relaxed);
}

} // namespace

CForwarder::CForwarder(std::vector<uint32_t> destinations, uint32_t external, int forwardMore)
    : m_users(std::make_unique<UserCounters[]>(destinations.size())),
      m_destinations(std::move(destinations)), m_external(external),
      m_forwardMore(forwardMore ? 1 : 0)
{
}

CForwarder::~CForwarder()
{
    RequestStop();
    Wake();
    StopAndWait();
    // Only now: libpcap must not be closed under a thread that is still reading.
    m_capture.Close();
}

void CForwarder::ReadInterfaces()
{
    m_interfaces.Find();
    std::vector<uint32_t> own, broadcasts;
    for (const CLocalInterfaces::Address& a : m_interfaces.GetAddresses()) {
        own.push_back(a.Local);
        if (a.Broadcast != 0 && a.Broadcast != INADDR_BROADCAST)
            broadcasts.push_back(a.Broadcast);
    }
    m_filter.SetOwnAddresses(own);
    m_filter.SetDestinations(broadcasts, m_forwardMore);
}

void CForwarder::CloseCapture()
{
    StopAndWait();
    m_capture.Close();
}

int CForwarder::OpenDevices(CCaptureSocket& capture, CRawSocket& sender, CUString& error,
                            int& denied)
{
    denied = 0;
    if (!capture.BindRaw()) {
        denied = capture.IsDenied();
        error.Format("Could not start capturing packets: %s", capture.GetLastError().c_str());
        return 0;
    }
    if (!sender.OpenRawA()) {
        denied = sender.IsDenied();
        error.Format("Could not open the send socket: %s", sender.GetLastError().c_str());
        capture.Close();
        return 0;
    }
    return 1;
}

int CForwarder::Adopt(CCaptureSocket&& capture, CRawSocket&& sender, CUString& error,
                      int kernelFilter)
{
    m_capture = std::move(capture);
    m_sender = std::move(sender);
    ReadInterfaces();
    if (m_capture.Sniff(kernelFilter ? 1 : 0, m_filter.GetCaptureFilter().c_str())) {
        // Without rtnetlink copies leave as they always did: the broadcast's own source
        // and the kernel's refusal of what does not fit.
        if (m_routeWatch.Open(1))
            m_capture.WakeOnReadable(m_routeWatch.GetHandle());
        return 1;
    }
    error.Format("Could not start capturing packets: %s", m_capture.GetLastError().c_str());
    m_capture.Close();
    return 0;
}

int CForwarder::OpenCapture(CUString& error, int kernelFilter)
{
    CCaptureSocket capture;
    CRawSocket sender;
    return OpenDevices(capture, sender, error, m_denied) &&
           Adopt(std::move(capture), std::move(sender), error, kernelFilter);
}

void CForwarder::ReadRoutes()
{
    m_routes.clear();
    if (m_routeWatch.GetHandle() < 0 || !m_routeWatch.ReadInterfaces())
        return;
    m_routes.resize(m_destinations.size());
    for (size_t i = 0; i < m_destinations.size(); ++i)
        m_routeWatch.LookUp(m_destinations[i], m_routes[i]);
}

int CForwarder::OpenCaptureFile(const char* path, CUString& error)
{
    CCaptureSocket capture;
    CRawSocket sender;
    if (!capture.OpenCaptureFile(path)) {
        error.Format("Could not read the capture file %s: %s", path,
                     capture.GetLastError().c_str());
        return 0;
    }
    if (!sender.OpenRawA()) {
        error.Format("Could not open the send socket: %s", sender.GetLastError().c_str());
        return 0;
    }
    return Adopt(std::move(capture), std::move(sender), error);
}

int CForwarder::IsOwnInterface(int index)
{
    if (index == 0)
        return 1; // a recording: its interfaces are not this machine's
    // An interface that came after the last look (a VM's new port): look again.
    if (!m_interfaces.IsKnown(index))
        ReadInterfaces();
    return m_interfaces.IsKnown(index) && !m_interfaces.IsPort(index);
}

void CForwarder::CountSend(size_t user, int ok, int error)
{
    if (ok) {
        Add(m_sent, uint64_t{1});
        Add(m_users[user].Sent, uint64_t{1});
        return;
    }
    Add(m_failed, uint64_t{1});
    m_lastError.store(error, Relaxed);
    Add(m_users[user].Failed, uint64_t{1});
    m_users[user].LastError.store(error, Relaxed);
    for (ErrorCounter& kind : m_errors) {
        const int seen = kind.Error.load(Relaxed);
        if (seen == error || seen == 0) {
            // Count first: a reader that sees the errno sees a count of at least one.
            Add(kind.Count, uint64_t{1});
            kind.Error.store(error, std::memory_order_release);
            return;
        }
    }
}

void CForwarder::GetStats(CForwardStats& stats) const
{
    stats.Captured = m_captured.load(Relaxed);
    stats.Sent = m_sent.load(Relaxed);
    stats.Failed = m_failed.load(Relaxed);
    stats.LastError = m_lastError.load(Relaxed);
    stats.LastCaptureMs = m_lastCaptureMs.load(Relaxed);
    stats.Users.resize(m_destinations.size());
    for (size_t i = 0; i < m_destinations.size(); ++i) {
        stats.Users[i].Sent = m_users[i].Sent.load(Relaxed);
        stats.Users[i].Failed = m_users[i].Failed.load(Relaxed);
        stats.Users[i].LastError = m_users[i].LastError.load(Relaxed);
    }
    stats.Errors.clear();
    for (const ErrorCounter& kind : m_errors) {
        const int error = kind.Error.load(std::memory_order_acquire);
        if (error == 0)
            break;
        stats.Errors.push_back({error, kind.Count.load(Relaxed)});
    }
}

void CForwarder::Wake()
{
    m_capture.WakeRead();
}

unsigned CForwarder::ForwardThread(void* forwarder)
{
    auto* self = static_cast<CForwarder*>(forwarder);
    if (!self->SetRunning())
        return 0;
    if (self->m_capture.IsOpen())
        self->Run();
    self->Abort();
    if (self->OnChange)
        self->OnChange();
    return 0;
}

int CForwarder::SendCopy(uint32_t to, const CRoute* route, CIPHeader& ip, CUDPHeader& udp,
                         int& error)
{
    if (route && !route->Source) {
        error = route->Error; // no route: no copy
        return 0;
    }
    // A copy leaves from this machine's address on the way to its user (across a VPN
    // the tunnel's: the peer takes nothing else, and answers only that). A source the
    // outgoing interface has already is kept, so a plain LAN's copy stays as captured.
    const uint32_t captured = ip.GetCapturedSource();
    ip.SetSource(!route || route->HasAddress(captured) ? captured : route->Source);
    ip.SetDestination(to);
    ip.PrepareUDPPacket(udp);
    m_sender.Out.Clear(); // the datagram must be exactly these two headers and the payload
    m_sender.Out << ip;
    m_sender.Out << udp;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = to;
    // The raw socket ignores the port, but it is the datagram's port all the same.
    address.sin_port = udp.GetDestinationPort();
    const int ok = m_sender.WriteUDP(address, route ? static_cast<size_t>(route->Mtu) : 0);
    error = ok ? 0 : m_sender.GetLastErrno();
    return ok;
}

void CForwarder::Run()
{
    CIPHeader ip;
    CUDPHeader udp;
    sockaddr_in from{};
    CUBuffer& in = m_capture.In;

    ReadRoutes();
    while (!StopRequested()) {
        if (!m_capture.ReadUDP(from)) {
            // Failed, woken (the loop condition decides) or a route or address changed.
            if (m_routeWatch.TakeChanges()) {
                ReadRoutes();
                RefreshOwnAddresses();
            }
            continue;
        }
        if (m_refresh.exchange(false))
            ReadInterfaces();
        in >> ip;
        udp.ReadAfter(ip, in);
        // A frame seen on a bridge's port is the bridge's own frame seen again, or one
        // the bridge passes on for another machine: neither is forwarded.
        if (m_filter.Accepts(ip, udp) && IsOwnInterface(m_capture.GetInterface())) {
            if (KeepCounters) {
                Add(m_captured, uint64_t{1});
                m_lastCaptureMs.store(MonotonicMs(), Relaxed);
            }
            for (size_t index = 0; index < m_destinations.size(); ++index) {
                const uint32_t to = m_destinations[index];
                // A destination that is never sent to counts neither way.
                if (!m_filter.IsDestination(to))
                    continue;
                int error = 0;
                const int ok =
                    SendCopy(to, m_routes.empty() ? nullptr : &m_routes[index], ip, udp, error);
                if (KeepCounters)
                    CountSend(index, ok, error);
            }
            if (KeepCounters && OnChange)
                OnChange();
        }
        in.Clear();
    }
}

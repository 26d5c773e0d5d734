#include "forward/CForwarder.h"

#include "base/CIPHeader.h"
#include "base/CTCPHeader.h"
#include "base/CUDPHeader.h"
#include "base/MonotonicClock.h"
#include "forward/CForwardFilter.h"
#include "users/CSettings.h"
#include "users/CUserSocket.h"

#include <netinet/in.h>

#include <algorithm>

namespace
{

constexpr int ProtocolTCP = 6;

constexpr auto Relaxed = std::memory_order_relaxed;

// One writer: a load and a store, never a locked read-modify-write.
template <class T>
void Add(std::atomic<T>& counter, T amount)
{
    counter.store(counter.load(Relaxed) + amount, Relaxed);
}

} // namespace

CForwarder::CForwarder(CSettings* settings) : Settings(settings) {}

CForwarder::~CForwarder()
{
    RequestStop();
    Wake();
    StopAndWait();
    // Only now: libpcap must not be closed under a thread that is still reading.
    m_capture.Close();
}

void CForwarder::ReadDestinations()
{
    std::vector<uint32_t> broadcasts;
    CUSocket::GetBroadcastAddresses(broadcasts);
    m_filter.SetDestinations(broadcasts, Settings->ForwardMore);
}

void CForwarder::CloseCapture()
{
    StopAndWait();
    m_capture.Close();
}

int CForwarder::OpenSender(CUString& error)
{
    if (m_sender.OpenRawA(1))
        return 1;
    m_denied = m_sender.IsDenied();
    error.Format("Could not open the send socket: %s", m_sender.GetLastError().c_str());
    return 0;
}

int CForwarder::OpenCapture(CUString& error, int kernelFilter)
{
    PrepareCounters();
    ReadDestinations();
    if (!m_capture.BindRaw(0) ||
        !m_capture.Sniff(kernelFilter ? 1 : 0, m_filter.GetCaptureFilter().c_str())) {
        m_denied = m_capture.IsDenied();
        error.Format("Could not start capturing packets: %s", m_capture.GetLastError().c_str());
        m_capture.Close();
        return 0;
    }
    if (OpenSender(error))
        return 1;
    m_capture.Close();
    return 0;
}

int CForwarder::OpenCaptureFile(const char* path, CUString& error)
{
    PrepareCounters();
    ReadDestinations();
    if (!m_capture.OpenCaptureFile(path) ||
        !m_capture.Sniff(1, m_filter.GetCaptureFilter().c_str())) {
        error.Format("Could not read the capture file %s: %s", path,
                     m_capture.GetLastError().c_str());
        m_capture.Close();
        return 0;
    }
    if (OpenSender(error))
        return 1;
    m_capture.Close();
    return 0;
}

void CForwarder::PrepareCounters()
{
    // Made before the thread starts: GetStats may read them from then on.
    m_userCount = 0;
    for (CUserSocket* user : Settings->Users)
        if (user->Forward)
            ++m_userCount;
    m_users = std::make_unique<UserCounters[]>(m_userCount);
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
    stats.Users.resize(m_userCount);
    for (size_t i = 0; i < m_userCount; ++i) {
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

std::vector<uint32_t> CForwarder::FindOwnAddresses(const char* externalIP)
{
    std::vector<uint32_t> own;
    CUSocket::GetLocalAddresses(own);
    sockaddr_in address{};
    if (CUSocket::GetSockAddr(address, nullptr, 0))
        own.push_back(address.sin_addr.s_addr);
    if (CUSocket::GetSockAddr(address, externalIP, 0))
        own.push_back(address.sin_addr.s_addr);
    // 0.0.0.0 is the source of a DHCP request, never of a game's announcement.
    std::erase(own, 0u);
    return own;
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
    {
        CCSLock lock(self->ThreadLock);
        if (self->m_capture.IsOpen())
            self->Run();
    }
    self->Abort();
    if (self->OnChange)
        self->OnChange();
    return 0;
}

void CForwarder::Run()
{
    // Read once per run: nothing that changes these may happen while a forwarder
    // runs (every such command stops forwarding first).
    m_filter.SetOwnAddresses(OwnAddresses.empty() ? FindOwnAddresses(Settings->ExternalIP.c_str())
                                                  : OwnAddresses);

    CIPHeader ip;
    CUDPHeader udp;
    CTCPHeader tcp;
    sockaddr_in from{};
    CUBuffer& in = m_capture.In;

    while (!StopRequested()) {
        if (!m_capture.ReadUDP(from))
            continue; // failed or woken: the loop condition decides
        in >> ip;
        if (ip.GetProtocol() == ProtocolTCP)
            in >> tcp;
        else
            udp.ReadAfter(ip, in);
        if (m_filter.Accepts(ip, udp)) {
            if (KeepCounters) {
                Add(m_captured, uint64_t{1});
                m_lastCaptureMs.store(MonotonicMs(), Relaxed);
            }
            // One packet goes to all checked users as one step, and no record changes
            // under the walk (the list view and an AutoConfig client take this lock).
            CCSLock users(g_usersLock);
            size_t index = 0;
            for (CUserSocket* user : Settings->Users) {
                if (!user->Forward)
                    continue;
                // A destination that is never sent to counts neither way.
                if (m_filter.IsDestination(user->Address.sin_addr.s_addr)) {
                    if (!KeepCounters)
                        user->ForwardPacket(m_sender, ip, udp);
                    else if (index < m_userCount)
                        CountSend(index, user->ForwardPacket(m_sender, ip, udp),
                                  m_sender.GetLastErrno());
                }
                ++index;
            }
            if (KeepCounters && OnChange)
                OnChange();
        }
        in.Clear();
    }
}

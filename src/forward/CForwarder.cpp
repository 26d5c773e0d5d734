#include "forward/CForwarder.h"

#include "base/CIPHeader.h"
#include "base/CTCPHeader.h"
#include "base/CUDPHeader.h"
#include "forward/CForwardFilter.h"
#include "users/CSettings.h"
#include "users/CUserSocket.h"

#include <netinet/in.h>

#include <algorithm>

namespace
{

constexpr int ProtocolTCP = 6;

const char CapabilityHint[] =
    "KIVORA needs the CAP_NET_RAW capability to capture and send raw packets. Grant it "
    "once with:\n    sudo setcap cap_net_raw+ep build/kivora\n(see the README).";

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

int CForwarder::OpenCapture(CUString& error, int kernelFilter)
{
    ReadDestinations();
    if (m_capture.BindRaw(0) &&
        m_capture.Sniff(kernelFilter ? 1 : 0, m_filter.GetCaptureFilter().c_str()))
        return 1;
    error.Format("Could not start capturing packets: %s\n\n%s", m_capture.GetLastError().c_str(),
                 CapabilityHint);
    m_capture.Close();
    return 0;
}

int CForwarder::OpenCaptureFile(const char* path, CUString& error)
{
    ReadDestinations();
    if (m_capture.OpenCaptureFile(path) && m_capture.Sniff(1, m_filter.GetCaptureFilter().c_str()))
        return 1;
    error.Format("Could not read the capture file %s: %s", path, m_capture.GetLastError().c_str());
    m_capture.Close();
    return 0;
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
    return 0;
}

void CForwarder::Run()
{
    // Read once per run: nothing that changes these may happen while a forwarder
    // runs (every such command stops forwarding first).
    std::vector<uint32_t> own;
    CUSocket::GetLocalAddresses(own);
    sockaddr_in address{};
    if (CUSocket::GetSockAddr(address, nullptr, 0))
        own.push_back(address.sin_addr.s_addr);
    if (CUSocket::GetSockAddr(address, Settings->ExternalIP.c_str(), 0))
        own.push_back(address.sin_addr.s_addr);
    m_filter.SetOwnAddresses(own);

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
            // One packet goes to all checked users as one step, and no record changes
            // under the walk (the list view and an AutoConfig client take this lock).
            CCSLock users(g_usersLock);
            for (CUserSocket* user : Settings->Users)
                if (user->Forward && m_filter.IsDestination(user->Address.sin_addr.s_addr))
                    user->ForwardPacket(ip, udp);
        }
        in.Clear();
    }
}

#include "forward/CForwarder.h"

#include "base/CIPHeader.h"
#include "base/CTCPHeader.h"
#include "base/CUDPHeader.h"
#include "users/CSettings.h"
#include "users/CUserSocket.h"

#include <netinet/in.h>

#include <algorithm>

namespace
{

constexpr int ProtocolTCP = 6;
constexpr int ProtocolUDP = 17;

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

int CForwarder::OpenCapture(CUString& error, int kernelFilter)
{
    if (m_capture.BindRaw(0) && m_capture.Sniff(kernelFilter ? 1 : 0))
        return 1;
    error.Format("Could not start capturing packets: %s\n\n%s", m_capture.GetLastError().c_str(),
                 CapabilityHint);
    m_capture.Close();
    return 0;
}

int CForwarder::OpenCaptureFile(const char* path, CUString& error)
{
    if (m_capture.OpenCaptureFile(path) && m_capture.Sniff(1))
        return 1;
    error.Format("Could not read the capture file %s: %s", path, m_capture.GetLastError().c_str());
    m_capture.Close();
    return 0;
}

void CForwarder::Wake()
{
    m_capture.WakeRead();
}

int CForwarder::IsAccepted(const CIPHeader& ip, int payloadLength,
                           const std::vector<uint32_t>& ownAddresses)
{
    return payloadLength != 0 && ip.GetDestination() == htonl(INADDR_BROADCAST) &&
           std::find(ownAddresses.begin(), ownAddresses.end(), ip.GetSource()) !=
               ownAddresses.end();
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
    // 0.0.0.0 is the source of a DHCP request, never of a game's announcement.
    own.erase(std::remove(own.begin(), own.end(), 0u), own.end());

    CIPHeader ip;
    CUDPHeader udp;
    CTCPHeader tcp;
    sockaddr_in from{};
    CUBuffer& in = m_capture.In;

    while (!StopRequested()) {
        if (!m_capture.ReadUDP(from))
            continue; // failed or woken: the loop condition decides
        in >> ip;
        int payloadLength;
        if (ip.GetProtocol() == ProtocolTCP) {
            in >> tcp;
            payloadLength = tcp.GetPayloadLength();
        } else {
            in >> udp;
            payloadLength = udp.GetPayloadLength();
        }
        // Only a whole, well-formed UDP datagram can be re-sent as it was captured.
        if (ip.GetProtocol() == ProtocolUDP && ip.IsValid() && !ip.IsFragment() && udp.IsValid() &&
            IsAccepted(ip, payloadLength, own)) {
            // One packet goes to all checked users as one step, and no record changes
            // under the walk (the list view and an AutoConfig client take this lock).
            CCSLock users(g_usersLock);
            for (CUserSocket* user : Settings->Users)
                if (user->Forward)
                    user->ForwardPacket(ip, udp);
        }
        in.Clear();
    }
}

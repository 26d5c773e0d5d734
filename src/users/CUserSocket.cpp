#include "users/CUserSocket.h"

#include "base/CIPHeader.h"
#include "base/CUDPHeader.h"

CUserSocket::CUserSocket(const char* name, const char* ip) : Name(name), IP(ip)
{
    ResolveAddress();
}

CUserSocket::~CUserSocket() = default;

void CUserSocket::ResolveAddress()
{
    // An IP text that is no address leaves Address at 0.0.0.0, which ForwardPacket
    // never sends to.
    CUSocket::GetSockAddr(Address, IP.c_str(), 0);
}

int CUserSocket::ForwardPacket(CIPHeader& ip, CUDPHeader& udp)
{
    // 0.0.0.0 is what an IP text that is no address resolves to: never a destination.
    if (GetHandle() < 0 || Address.sin_addr.s_addr == 0)
        return 0;
    ip.SetDestination(Address.sin_addr.s_addr);
    ip.PrepareUDPPacket(udp);
    Out.Clear(); // the datagram must be exactly these two headers and the payload
    Out << ip;
    Out << udp;
    // The raw socket ignores the port, but it is the datagram's port all the same.
    Address.sin_port = udp.GetDestinationPort();
    return WriteUDP(Address);
}

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
    // never sends to. An empty one too: GetSockAddr would give this machine's own
    // address, and every copy would come back here. 255.255.255.255 would be a broadcast
    // that the capture takes in again.
    if (IP.IsEmpty() || !CUSocket::GetSockAddr(Address, IP.c_str(), 0) ||
        !IsDestination(Address.sin_addr.s_addr)) {
        CUSocket::GetSockAddr(Address, "0.0.0.0", 0);
    }
}

int CUserSocket::IsDestination(uint32_t address)
{
    return address != htonl(INADDR_ANY) && address != htonl(INADDR_BROADCAST);
}

int CUserSocket::ForwardPacket(CIPHeader& ip, CUDPHeader& udp)
{
    if (GetHandle() < 0 || !IsDestination(Address.sin_addr.s_addr))
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

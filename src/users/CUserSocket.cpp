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
    // forwarder: to be written
    (void)ip;
    (void)udp;
    return 0;
}

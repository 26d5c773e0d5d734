#include "users/CUserSocket.h"

CUserSocket::CUserSocket(const char* name, const char* ip) : Name(name), IP(ip)
{
    ResolveAddress();
}

CUserSocket::~CUserSocket() = default;

void CUserSocket::ResolveAddress()
{
    // An IP text that is no address leaves Address at 0.0.0.0, which the forwarder
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
    // 0.0.0.0 is what an IP text that is no address resolves to; a copy to
    // 255.255.255.255 would be captured and forwarded again.
    return address != htonl(INADDR_ANY) && address != htonl(INADDR_BROADCAST);
}

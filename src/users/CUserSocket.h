#pragma once

#include "base/CUSocket.h"
#include "base/CUString.h"

#include <netinet/in.h>

#include <cstdint>

class CIPHeader;
class CUDPHeader;

// One remote player of the User List, and at the same time the raw socket through
// which that player's copies of captured broadcasts are sent.
class CUserSocket : public CUSocket
{
public:
    CUserSocket(const char* name, const char* ip);
    ~CUserSocket() override;

    // Resolves Address again from IP (port 0), so that it follows the text.
    void ResolveAddress();
    // Zero for 0.0.0.0 (what an IP text that is no address resolves to) and for
    // 255.255.255.255: neither is ever sent to. Network byte order.
    static int IsDestination(uint32_t address);

    // Re-addresses one captured datagram to this user and sends it through the
    // record's socket. Gives 0 when the socket is not open, else WriteUDP's result.
    int ForwardPacket(CIPHeader& ip, CUDPHeader& udp);

    int32_t Forward = 1; // the row's check box; non-zero means packets go to this user
    CUString Name;
    CUString IP;
    sockaddr_in Address{};
};

#pragma once

#include "base/CUSocket.h"
#include "base/CUString.h"

#include <netinet/in.h>

#include <cstdint>

// One remote player of the User List. Its copies of captured broadcasts leave
// through the forwarding run's shared raw send socket, addressed to Address.
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

    int32_t Forward = 1; // the row's check box; non-zero means packets go to this user
    CUString Name;
    CUString IP;
    sockaddr_in Address{};
};

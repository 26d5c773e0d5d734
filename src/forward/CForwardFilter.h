#pragma once

#include "base/CUString.h"

#include <cstdint>
#include <vector>

class CIPHeader;
class CUDPHeader;

// The accept test of the forwarding loop: which captured datagrams are re-sent to the
// users. Always: UDP from this machine to 255.255.255.255 with a payload and without
// IPv4 options. With
// `forwardMore` also to the broadcast address of one of this machine's interfaces and
// to a multicast group of games (see IsForwardedGroup). Addresses in network byte order.
class CForwardFilter
{
public:
    // The broadcast addresses of this machine's interfaces, read when forwarding
    // starts, and the switch.
    void SetDestinations(const std::vector<uint32_t>& broadcasts, int forwardMore);
    // This machine's addresses and the external address.
    void SetOwnAddresses(const std::vector<uint32_t>& own);

    // Non-zero for a datagram to re-send: `udp` read with ReadAfter(ip, ...). A fragment
    // is judged on its own: a later one by its IPv4 fields alone, since it has no UDP
    // header; a first one only when its UDP header is whole.
    int Accepts(const CIPHeader& ip, const CUDPHeader& udp) const;

    // Non-zero for an address a copy may be sent to: never 0.0.0.0 or 255.255.255.255,
    // and while forwarding more, never an address whose copy the capture would take
    // in again (an interface's broadcast, a forwarded group).
    int IsDestination(uint32_t address) const;

    // The in-kernel filter for CUSocket::Sniff; empty (the capture's own filter for
    // 255.255.255.255) unless forwarding more.
    CUString GetCaptureFilter() const;

    // 224.0.0.0/4 but the link-local control block 224.0.0.0/24 (mDNS, LLMNR, routing)
    // and 239.255.255.250 (SSDP, WS-Discovery): those never leave the home network.
    static int IsForwardedGroup(uint32_t address);

private:
    int IsForwardedDestination(uint32_t address) const;

    std::vector<uint32_t> m_own;
    std::vector<uint32_t> m_broadcasts;
    int m_forwardMore = 0;
};

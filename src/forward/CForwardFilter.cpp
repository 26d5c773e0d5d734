#include "forward/CForwardFilter.h"

#include "base/CIPHeader.h"
#include "base/CUDPHeader.h"

#include <arpa/inet.h>

#include <algorithm>

namespace
{

constexpr int ProtocolUDP = 17;

bool Contains(const std::vector<uint32_t>& list, uint32_t address)
{
    return std::find(list.begin(), list.end(), address) != list.end();
}

} // namespace

void CForwardFilter::SetDestinations(const std::vector<uint32_t>& broadcasts, int forwardMore)
{
    m_broadcasts = broadcasts;
    m_forwardMore = forwardMore;
}

void CForwardFilter::SetOwnAddresses(const std::vector<uint32_t>& own)
{
    m_own = own;
    // 0.0.0.0 is the source of a DHCP request, never of a game's announcement.
    m_own.erase(std::remove(m_own.begin(), m_own.end(), 0u), m_own.end());
}

int CForwardFilter::IsForwardedGroup(uint32_t address)
{
    const uint32_t host = ntohl(address);
    return CIPHeader::IsMulticast(address) && (host >> 8) != 0xe00000 && host != 0xeffffffa;
}

int CForwardFilter::IsForwardedDestination(uint32_t address) const
{
    return address == htonl(INADDR_BROADCAST) ||
           (m_forwardMore && (Contains(m_broadcasts, address) || IsForwardedGroup(address)));
}

int CForwardFilter::Accepts(const CIPHeader& ip, const CUDPHeader& udp) const
{
    // A datagram with IPv4 options is not forwarded: games send none, and some options
    // (stream ID, source routes) are beyond what an unprivileged program may set, so a
    // copy must not carry them with the helper's privilege behind it.
    return ip.IsValid() && ip.GetHeaderLength() == CIPHeader::MinLength &&
           ip.GetProtocol() == ProtocolUDP && udp.IsValid() && udp.GetPayloadLength() != 0 &&
           IsForwardedDestination(ip.GetDestination()) && Contains(m_own, ip.GetSource());
}

int CForwardFilter::IsDestination(uint32_t address) const
{
    return address != htonl(INADDR_ANY) && !IsForwardedDestination(address);
}

CUString CForwardFilter::GetCaptureFilter() const
{
    if (!m_forwardMore)
        return CUString();
    std::string filter = "outbound and udp and (dst host 255.255.255.255";
    char text[INET_ADDRSTRLEN];
    for (uint32_t address : m_broadcasts)
        if (inet_ntop(AF_INET, &address, text, sizeof text))
            filter += std::string(" or dst host ") + text;
    filter += " or (dst net 224.0.0.0/4 and not dst net 224.0.0.0/24 and not dst host "
              "239.255.255.250))";
    return CUString(std::move(filter));
}

#include "base/CLocalInterfaces.h"

#include "base/CScopedFd.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace
{

bool Contains(const std::vector<int>& list, int value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Asks for a dump of `type` (RTM_GETLINK or RTM_GETADDR, IPv4) and hands each answer
// to `take`. Gives false when the kernel could not be asked or the dump broke off.
bool Dump(int fd, uint16_t type, const std::function<void(const nlmsghdr&)>& take)
{
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = type;
    request.body.rtgen_family = type == RTM_GETADDR ? AF_INET : AF_UNSPEC;
    if (::send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
        return false;
    alignas(nlmsghdr) static thread_local char buffer[32 * 1024];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        size_t left = static_cast<size_t>(n);
        for (auto* m = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(m, left);
             m = NLMSG_NEXT(m, left)) {
            if (m->nlmsg_type == NLMSG_DONE)
                return true;
            if (m->nlmsg_type == NLMSG_ERROR)
                return false;
            if (m->nlmsg_type == RTM_NEWLINK || m->nlmsg_type == RTM_NEWADDR)
                take(*m);
        }
    }
}

uint32_t Get32(const rtattr* attribute)
{
    uint32_t value = 0;
    if (RTA_PAYLOAD(attribute) >= sizeof value)
        std::memcpy(&value, RTA_DATA(attribute), sizeof value);
    return value;
}

} // namespace

uint32_t CLocalInterfaces::BroadcastOf(uint32_t address, uint32_t netmask, uint32_t configured)
{
    if (configured != 0)
        return configured;
    // A /31 or /32 has no host part to set: its "broadcast" would be a host.
    if ((ntohl(netmask) & 0xfffffffe) == 0xfffffffe)
        return 0;
    return address | ~netmask;
}

int CLocalInterfaces::Find()
{
    m_addresses.clear();
    m_interfaces.clear();
    m_ports.clear();
    m_mtus.clear();
    const CScopedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.IsOpen())
        return 0;
    std::vector<int> loopback;
    const bool links = Dump(fd.Get(), RTM_GETLINK, [&](const nlmsghdr& m) {
        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&m));
        m_interfaces.push_back(link->ifi_index);
        m_mtus.push_back(0);
        if (link->ifi_flags & IFF_LOOPBACK)
            loopback.push_back(link->ifi_index);
        int length = static_cast<int>(IFLA_PAYLOAD(&m));
        for (auto* a = IFLA_RTA(link); RTA_OK(a, length); a = RTA_NEXT(a, length))
            if (a->rta_type == IFLA_MASTER && Get32(a) != 0)
                m_ports.push_back(link->ifi_index);
            else if (a->rta_type == IFLA_MTU)
                m_mtus.back() = static_cast<int>(Get32(a));
    });
    const bool addresses =
        links && Dump(fd.Get(), RTM_GETADDR, [&](const nlmsghdr& m) {
            const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(&m));
            if (info->ifa_family != AF_INET || info->ifa_prefixlen > 32)
                return;
            // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer's on a
            // point-to-point link, and the same as IFA_LOCAL elsewhere.
            uint32_t local = 0, address = 0, broadcast = 0;
            int length = static_cast<int>(IFA_PAYLOAD(&m));
            for (auto* a = IFA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
                if (a->rta_type == IFA_LOCAL)
                    local = Get32(a);
                else if (a->rta_type == IFA_ADDRESS)
                    address = Get32(a);
                else if (a->rta_type == IFA_BROADCAST)
                    broadcast = Get32(a);
            }
            Address entry;
            entry.Local = local ? local : address;
            entry.Netmask = info->ifa_prefixlen ? htonl(~0u << (32 - info->ifa_prefixlen)) : 0;
            entry.Index = static_cast<int>(info->ifa_index);
            entry.Loopback = Contains(loopback, entry.Index);
            const bool pointToPoint = local && address && local != address;
            if (!entry.Loopback && !pointToPoint)
                entry.Broadcast = BroadcastOf(entry.Local, entry.Netmask, broadcast);
            m_addresses.push_back(entry);
        });
    if (!addresses) {
        m_addresses.clear();
        m_interfaces.clear();
        m_ports.clear();
        m_mtus.clear();
        return 0;
    }
    return 1;
}

int CLocalInterfaces::IsKnown(int index) const
{
    return Contains(m_interfaces, index);
}

int CLocalInterfaces::IsPort(int index) const
{
    return Contains(m_ports, index);
}

int CLocalInterfaces::GetMtu(int index) const
{
    const auto at = std::find(m_interfaces.begin(), m_interfaces.end(), index);
    return at == m_interfaces.end() ? 0 : m_mtus[at - m_interfaces.begin()];
}

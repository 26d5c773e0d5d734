#include "base/CRouteWatch.h"

#include "base/CLocalInterfaces.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{

constexpr size_t AnswerSize = 32768;

CScopedFd OpenNetlink(unsigned groups, int flags)
{
    CScopedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | flags, NETLINK_ROUTE));
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (fd.IsOpen() && ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        fd.Reset();
        errno = error;
    }
    return fd;
}

// Each attribute of a message whose fixed part is `fixed` bytes long.
template <class Each>
void ForEachAttribute(const nlmsghdr* message, size_t fixed, Each each)
{
    const size_t start = NLMSG_LENGTH(fixed);
    if (message->nlmsg_len < start)
        return;
    int left = static_cast<int>(message->nlmsg_len - NLMSG_ALIGN(start));
    for (auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(message) +
                                                   NLMSG_ALIGN(start));
         RTA_OK(a, left); a = RTA_NEXT(a, left))
        each(a->rta_type, RTA_DATA(a), RTA_PAYLOAD(a), a);
}

uint32_t U32(const void* data, size_t length)
{
    uint32_t value = 0;
    std::memcpy(&value, data, std::min(length, sizeof value));
    return value;
}

} // namespace

int CRoute::HasAddress(uint32_t address) const
{
    return std::find(InterfaceAddresses.begin(), InterfaceAddresses.end(), address) !=
           InterfaceAddresses.end();
}

void CRouteWatch::Close()
{
    m_query.Reset();
    m_watch.Reset();
}

int CRouteWatch::Open(int watch)
{
    Close();
    if (watch) {
        m_watch = OpenNetlink(
            RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV4_RULE, SOCK_NONBLOCK);
        if (!m_watch.IsOpen()) {
            m_error.Format("netlink: %s", std::strerror(errno));
            return 0;
        }
    }
    m_query = OpenNetlink(0, 0);
    // The kernel answers at once; a bound keeps a lost answer from stopping the loop.
    const timeval limit{1, 0};
    if (!m_query.IsOpen() ||
        ::setsockopt(m_query.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        m_error.Format("netlink: %s", std::strerror(errno));
        Close();
        return 0;
    }
    return 1;
}

int CRouteWatch::TakeChanges()
{
    if (!m_watch.IsOpen())
        return 0;
    char buffer[AnswerSize];
    int changed = 0;
    for (;;) {
        const ssize_t n = ::recv(m_watch.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == ENOBUFS)) // an overflow lost some: a change all the same
            changed = 1;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return changed;
    }
}

template <class Each>
int CRouteWatch::Ask(void* request, size_t length, Each each)
{
    auto* header = static_cast<nlmsghdr*>(request);
    header->nlmsg_seq = ++m_sequence;
    if (::send(m_query.Get(), request, length, 0) != static_cast<ssize_t>(length))
        return 0;
    alignas(nlmsghdr) char buffer[AnswerSize];
    for (;;) {
        ssize_t n = ::recv(m_query.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        size_t left = static_cast<size_t>(n);
        for (auto* m = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(m, left);
             m = NLMSG_NEXT(m, left)) {
            if (m->nlmsg_seq != m_sequence)
                continue; // a late answer to an earlier request
            if (m->nlmsg_type == NLMSG_DONE)
                return 1;
            if (m->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(m));
                errno = -error->error;
                return error->error == 0;
            }
            each(m);
            if (!(m->nlmsg_flags & NLM_F_MULTI))
                return 1;
        }
    }
}

int CRouteWatch::ReadInterfaces()
{
    // The interfaces as the rest of the program reads them: one walk, one answer.
    if (m_interfaces.Find())
        return 1;
    m_error.Format("netlink: %s", std::strerror(errno));
    return 0;
}

int CRouteWatch::LookUp(uint32_t destination, CRoute& route)
{
    route = CRoute();
    struct {
        nlmsghdr header;
        rtmsg message;
        rtattr attribute;
        uint32_t address;
    } request{{sizeof request, RTM_GETROUTE, NLM_F_REQUEST, 0, 0},
              {AF_INET, 32, 0, 0, 0, 0, 0, 0, 0},
              {RTA_LENGTH(sizeof(uint32_t)), RTA_DST},
              destination};
    int mtu = 0;
    const int answered = Ask(&request, sizeof request, [&](const nlmsghdr* m) {
        const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(m));
        route.Local = message->rtm_type == RTN_LOCAL;
        ForEachAttribute(m, sizeof *message,
                         [&](int type, const void* data, size_t length, const rtattr* a) {
                             if (type == RTA_PREFSRC)
                                 route.Source = U32(data, length);
                             else if (type == RTA_OIF)
                                 route.Interface = static_cast<int>(U32(data, length));
                             else if (type == RTA_GATEWAY)
                                 route.Gateway = 1;
                             else if (type == RTA_METRICS) {
                                 int left = static_cast<int>(RTA_PAYLOAD(a));
                                 for (auto* x = static_cast<const rtattr*>(RTA_DATA(a));
                                      RTA_OK(x, left); x = RTA_NEXT(x, left))
                                     if (x->rta_type == RTAX_MTU)
                                         mtu = static_cast<int>(U32(RTA_DATA(x), RTA_PAYLOAD(x)));
                             }
                         });
    });
    if (!answered || route.Source == 0) {
        route.Error = answered || errno == 0 ? ENETUNREACH : errno;
        route.Source = 0;
        return 0;
    }
    if (const int linkMtu = m_interfaces.GetMtu(route.Interface); linkMtu > 0)
        mtu = mtu > 0 ? std::min(mtu, linkMtu) : linkMtu;
    route.Mtu = mtu;
    for (const CLocalInterfaces::Address& address : m_interfaces.GetAddresses())
        if (address.Index == route.Interface && !route.HasAddress(address.Local))
            route.InterfaceAddresses.push_back(address.Local);
    return 1;
}

int CRouteWatch::LookUpOnce(uint32_t destination, CRoute& route)
{
    CRouteWatch routes;
    if (!routes.Open(0)) {
        route = CRoute();
        route.Error = errno ? errno : EIO;
        return 0;
    }
    return routes.LookUp(destination, route);
}

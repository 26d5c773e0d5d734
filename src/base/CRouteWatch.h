#pragma once

#include "base/CLocalInterfaces.h"
#include "base/CScopedFd.h"
#include "base/CUString.h"

#include <cstdint>
#include <utility>
#include <vector>

// How this machine reaches one IPv4 address now, as the kernel's routing decides it.
// Addresses in network byte order.
struct CRoute {
    uint32_t Source = 0; // the kernel's preferred source; 0 when there is no route
    int Error = 0;       // why there is no route (errno), else 0
    int Interface = 0;   // the outgoing interface's index
    int Mtu = 0;         // the most one datagram may carry on it: route and interface
    int Gateway = 0;     // non-zero when the way leads through a router
    int Local = 0;       // non-zero when the address is this machine's own
    // The addresses of the outgoing interface: a source among them needs no change.
    std::vector<uint32_t> InterfaceAddresses;

    int HasAddress(uint32_t address) const;
};

// Routes and their changes through rtnetlink, which asks no privilege. Plain rtnetlink
// rather than libnl: three requests and one subscription, and the privileged helper
// that uses it stays free of another library.
//
// Open subscribes to route, address and link changes (when `watch` is non-zero) before
// anything is read, so that no change between a lookup and the subscription is lost.
// GetHandle is then readable whenever a change waits; TakeChanges takes them all.
class CRouteWatch
{
public:
    CRouteWatch() = default;
    CRouteWatch(const CRouteWatch&) = delete;
    CRouteWatch& operator=(const CRouteWatch&) = delete;

    int Open(int watch);
    void Close();
    int GetHandle() const { return m_watch.Get(); }
    const CUString& GetLastError() const { return m_error; }

    // Non-zero when changes arrived since the last call (a lost notification counts).
    // Never waits.
    int TakeChanges();
    // Reads every interface's MTU and addresses afresh; LookUp relies on them.
    int ReadInterfaces();
    // The route to `destination`; 0 with route.Error set when there is none.
    int LookUp(uint32_t destination, CRoute& route);

    // One lookup with a socket of its own (for the window's tooltip and AutoConfig):
    // source, interface, gateway and whether it is local; the interface's MTU and
    // addresses are not read, as neither caller needs them.
    static int LookUpOnce(uint32_t destination, CRoute& route);

private:
    template <class Each>
    int Ask(void* request, size_t length, Each each);

    CScopedFd m_query;
    CScopedFd m_watch;
    uint32_t m_sequence = 0;
    CUString m_error;
    CLocalInterfaces m_interfaces; // MTUs and addresses, from the program's one walk
};

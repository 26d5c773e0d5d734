#include "base/CUSocket.h"

#include "base/CLocalInterfaces.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

CUSocket::CUSocket() = default;

CUSocket::~CUSocket()
{
    Close();
}

void CUSocket::Close()
{
    FreeStream();
    m_handle.Reset();
}

CUBuffer& CUSocket::operator<<(int32_t value)
{
    Out << value;
    return Out;
}

void CUSocket::SetErrorFromErrno(const char* what)
{
    m_errno = errno;
    m_error.Format("%s: %s", what, std::strerror(m_errno));
}

namespace
{

// The default route's gateway and interface from the kernel's routing table, the one
// with the lowest metric. Gives false when there is no default route.
bool FindDefaultRoute(std::string& iface, uint32_t& gateway)
{
    std::ifstream routes("/proc/thread-self/net/route");
    std::string line;
    std::getline(routes, line); // column titles
    unsigned bestMetric = ~0u;
    bool found = false;
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, dest, gw, flags, refcnt, use, metric, mask;
        if (!(fields >> name >> dest >> gw >> flags >> refcnt >> use >> metric >> mask))
            continue;
        unsigned long destination = std::strtoul(dest.c_str(), nullptr, 16);
        unsigned long netmask = std::strtoul(mask.c_str(), nullptr, 16);
        unsigned long routeFlags = std::strtoul(flags.c_str(), nullptr, 16);
        unsigned m = static_cast<unsigned>(std::strtoul(metric.c_str(), nullptr, 10));
        if (destination != 0 || netmask != 0 || !(routeFlags & 0x1 /* RTF_UP */))
            continue;
        if (!found || m < bestMetric) {
            found = true;
            bestMetric = m;
            iface = name;
            // The table prints the address as the host-order number of its bytes.
            gateway = static_cast<uint32_t>(std::strtoul(gw.c_str(), nullptr, 16));
        }
    }
    return found;
}

// The source address the kernel picks toward `destination`: a connected UDP socket
// learns it without sending anything.
bool SourceToward(uint32_t destination, uint32_t& source)
{
    const CScopedFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.IsOpen())
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = destination;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool ok = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
                    local.sin_addr.s_addr != 0;
    if (ok)
        source = local.sin_addr.s_addr;
    return ok;
}

bool FirstAddressOf(const char* onlyIface, uint32_t& address)
{
    const int only = onlyIface ? static_cast<int>(::if_nametoindex(onlyIface)) : 0;
    CLocalInterfaces interfaces;
    interfaces.Find();
    for (const CLocalInterfaces::Address& a : interfaces.GetAddresses())
        if (!a.Loopback && (!onlyIface || a.Index == only)) {
            address = a.Local;
            return true;
        }
    return false;
}

// This machine's own address. The host name is no guide on Linux (it often resolves
// to 127.0.1.1), so take the source address toward the default route, else the first
// non-loopback interface address, else loopback.
uint32_t OwnAddress()
{
    std::string iface;
    uint32_t gateway = 0;
    uint32_t address = 0;
    if (FindDefaultRoute(iface, gateway)) {
        if (gateway != 0 && SourceToward(gateway, address))
            return address;
        if (FirstAddressOf(iface.c_str(), address))
            return address;
    }
    if (FirstAddressOf(nullptr, address))
        return address;
    return htonl(INADDR_LOOPBACK);
}

} // namespace

int CUSocket::GetSockAddr(sockaddr_in& address, const char* host, int port)
{
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!host || !*host) {
        address.sin_addr.s_addr = OwnAddress();
        return 1;
    }
    // Only dotted-quad text is an address here; names are never looked up. The editor's
    // own parser reads it, so leading zeros mean here what they meant there.
    uint32_t value = 0;
    if (!CUString::ParseIPAddress(host, value))
        return 0;
    address.sin_addr.s_addr = htonl(value);
    return 1;
}

int CUSocket::GetPeerName(const sockaddr_in& address, CUString& text, int& port)
{
    char buffer[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer)) {
        text.Empty();
        port = 0;
        return 0;
    }
    text = buffer;
    port = ntohs(address.sin_port);
    return 1;
}

int CUSocket::GetPeerName(CUString& text) const
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (!m_handle.IsOpen() ||
        ::getpeername(m_handle.Get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET) {
        text.Empty();
        return 0;
    }
    int port = 0;
    return GetPeerName(peer, text, port);
}

int CUSocket::GetSockName(CUString& text) const
{
    sockaddr_in own{};
    socklen_t length = sizeof own;
    int port = 0;
    if (m_handle.IsOpen() &&
        ::getsockname(m_handle.Get(), reinterpret_cast<sockaddr*>(&own), &length) == 0 &&
        own.sin_family == AF_INET)
        return GetPeerName(own, text, port);
    text.Empty();
    return 0;
}

int CUSocket::GetLocalAddresses(std::vector<uint32_t>& addresses)
{
    addresses.clear();
    CLocalInterfaces interfaces;
    if (!interfaces.Find())
        return 0;
    for (const CLocalInterfaces::Address& a : interfaces.GetAddresses())
        addresses.push_back(a.Local);
    return 1;
}

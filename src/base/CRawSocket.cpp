#include "base/CRawSocket.h"

#include "base/CIPHeader.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

void CRawSocket::SetError(const char* what, int error)
{
    m_errno = error;
    m_error.Format("%s: %s", what, std::strerror(error));
}

int CRawSocket::OpenRawA()
{
    // IPPROTO_RAW implies IP_HDRINCL: the kernel sends our header as it stands, only
    // filling in what the header leaves 0. A copy can never go out to 255.255.255.255
    // (the forwarder skips that destination), so SO_BROADCAST only lets a user whose
    // address is a subnet broadcast address be sent to.
    CScopedFd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (!fd.IsOpen()) {
        SetError("socket", errno);
        return 0;
    }
    const int on = 1;
    if (::setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        SetError("setsockopt SO_BROADCAST", errno);
        return 0;
    }
    m_fd = std::move(fd);
    return 1;
}

int CRawSocket::WriteUDP(const sockaddr_in& to, size_t mtu)
{
    // Never block: a send queue that does not drain (an address nobody answers for)
    // must cost a lost copy, not a stop.
    int error = 0;
    auto send = [&](const uint8_t* data, size_t length) {
        const ssize_t sent = ::sendto(m_fd.Get(), data, length, MSG_DONTWAIT,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
        error = sent < 0 ? errno : EMSGSIZE; // before anything else can change it
        return sent >= 0 && static_cast<size_t>(sent) == length;
    };
    // The kernel refuses a datagram whose header we wrote when it is longer than the
    // interface takes (EMSGSIZE), and a tunnel takes less than the LAN: so a copy too long
    // for its route leaves in fragments of our own, which the user's kernel reassembles.
    const size_t length = Out.GetDataLength();
    int ok;
    if (mtu && length > mtu) {
        error = EMSGSIZE; // what stays when not even 8 bytes fit
        ok = CIPHeader::Fragment(Out.GetData(), length, mtu, send);
    } else {
        ok = send(Out.GetData(), length);
    }
    if (!ok)
        SetError("sendto", error);
    Out.Clear();
    return ok;
}

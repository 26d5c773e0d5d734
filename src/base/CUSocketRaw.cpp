// The raw send side of CUSocket: datagrams whose IPv4 header the caller wrote.

#include "base/CUSocket.h"

#include "base/CIPHeader.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int CUSocket::OpenRawA(int broadcast)
{
    // Called at every Start: a socket an earlier run left open is opened afresh, so a
    // run never inherits a socket from another setting.
    Close();
    // IPPROTO_RAW implies IP_HDRINCL: the kernel sends our header as it stands, only
    // filling in what the header leaves 0. A copy can never go out to 255.255.255.255
    // (the forwarder skips that destination), so SO_BROADCAST only lets a user whose
    // address is a subnet broadcast address be sent to.
    int handle = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (handle < 0) {
        SetErrorFromErrno("socket");
        return 0;
    }
    const int on = 1;
    if (broadcast && ::setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        SetErrorFromErrno("setsockopt SO_BROADCAST");
        ::close(handle);
        return 0;
    }
    m_handle = handle;
    return 1;
}

int CUSocket::WriteUDP(sockaddr_in& to, size_t mtu)
{
    int handle = m_handle;
    int temporary = -1;
    if (handle < 0) {
        temporary = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (temporary < 0) {
            SetErrorFromErrno("socket");
            Out.Clear();
            return 0;
        }
        handle = temporary;
    }
    // Never block: the forwarder sends under the users' lock, and a send queue that
    // does not drain (an address nobody answers for) must cost a lost copy, not a stop.
    auto send = [&](const uint8_t* data, size_t length) {
        const ssize_t sent = ::sendto(handle, data, length, MSG_DONTWAIT,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return sent >= 0 && static_cast<size_t>(sent) == length;
    };
    // The kernel never fragments a datagram whose header we wrote and refuses one longer
    // than the interface takes (EMSGSIZE): so a copy too long for its route (a tunnel's
    // MTU below the LAN's) leaves in fragments of our own, which the user reassembles.
    const size_t length = Out.GetDataLength();
    int ok;
    if (mtu && temporary < 0 && length > mtu) {
        errno = 0;
        ok = CIPHeader::Fragment(Out.GetData(), length, mtu, send);
        if (!ok && errno == 0)
            errno = EMSGSIZE; // no room for a fragment's data
    } else {
        ok = send(Out.GetData(), length);
    }
    if (!ok)
        SetErrorFromErrno("sendto");
    if (temporary >= 0)
        ::close(temporary);
    Out.Clear();
    return ok;
}

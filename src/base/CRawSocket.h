#pragma once

#include "base/CScopedFd.h"
#include "base/CUBuffer.h"
#include "base/CUString.h"

#include <cerrno>
#include <cstddef>
#include <netinet/in.h>

// A raw IPv4 send socket whose datagrams carry the caller's own IPv4 header (needs
// CAP_NET_RAW to open, none to send).
class CRawSocket
{
public:
    CUBuffer Out; // what is to leave

    // Opens the socket with SO_BROADCAST, so that a subnet broadcast address can be
    // a destination. Gives 0 on failure (GetLastError, IsDenied).
    int OpenRawA();
    int IsOpen() const { return m_fd.IsOpen(); }
    // Sends the whole output buffer as one datagram to `to` and empties the buffer. A
    // datagram longer than a non-zero `mtu` leaves as IPv4 fragments of at most `mtu`.
    int WriteUDP(const sockaddr_in& to, size_t mtu = 0);

    const CUString& GetLastError() const { return m_error; }
    // The errno of the last failed send or open.
    int GetLastErrno() const { return m_errno; }
    int IsDenied() const { return m_errno == EPERM || m_errno == EACCES; }

private:
    void SetError(const char* what, int error);

    CScopedFd m_fd;
    CUString m_error;
    int m_errno = 0;
};

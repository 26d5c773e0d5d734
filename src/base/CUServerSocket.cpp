#include "base/CUServerSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace
{

// Connections accepted by one Poll at most, so that a flood of connects cannot keep
// the existing connections from being served.
constexpr int MaxAcceptsPerPoll = 64;

} // namespace

CUServerSocket::~CUServerSocket()
{
    Connections.DeleteAll();
    Close();
}

int CUServerSocket::Listen(int port, int backlog)
{
    Close();
    CScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.IsOpen()) {
        SetErrorFromErrno("socket");
        return 0;
    }
    // A host restarted right after closing must not wait for the old connections'
    // TIME_WAIT to pass.
    int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        SetErrorFromErrno("bind");
        return 0;
    }
    if (::listen(fd.Get(), backlog) != 0) {
        SetErrorFromErrno("listen");
        return 0;
    }
    m_handle = std::move(fd);
    return 1;
}

CUSocket* CUServerSocket::AcceptSocket()
{
    auto s = std::make_unique<CUSocket>();
    if (!s->Accept(m_handle.Get()))
        return nullptr;
    CUSocket* accepted = s.get();
    Connections.AddTail(s.release()); // the list owns its connections
    return accepted;
}

void CUServerSocket::CloseSocket(CUSocket* s)
{
    if (Connections.Remove(s))
        delete s;
}

int CUServerSocket::Poll()
{
    int listening = 0;
    if (m_handle.IsOpen()) {
        pollfd pfd{m_handle.Get(), POLLIN, 0};
        int ready;
        // A signal that lands in poll ends nothing: ask again.
        do
            ready = ::poll(&pfd, 1, 0);
        while (ready < 0 && errno == EINTR);
        listening = ready >= 0 && !(pfd.revents & (POLLERR | POLLNVAL));
        if (listening && (pfd.revents & POLLIN))
            for (int i = 0; i < MaxAcceptsPerPoll && AcceptSocket(); ++i) {
            }
    }

    // CloseSocket changes the list (and an override may do more), so walk a copy and
    // skip any connection that is no longer listed when its turn comes.
    std::vector<CUSocket*> connections(Connections.begin(), Connections.end());
    for (CUSocket* s : connections) {
        if (!Connections.Contains(s))
            continue;
        int alive = s->TransferStream();
        // What arrived before the peer went away is still handled.
        if (s->In.GetDataLength() >= 4)
            ProcessInput(s);
        if (s->InputRefused())
            alive = 0;
        if (!alive && Connections.Contains(s)) {
            s->Close();
            CloseSocket(s);
        }
    }
    return listening;
}

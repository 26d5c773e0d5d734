#pragma once

#include "base/CCS.h"
#include "base/CScopedFd.h"
#include "base/CThreadHelper.h"
#include "base/CUSocket.h"

#include <poll.h>

#include <memory>
#include <vector>

class CAutoConfigOwner;

// One AutoConfig session: the role's socket (a client's CPeerSocket or the host's
// CAutoConfigServer) and the poll thread that drives it. A session starts once;
// destroying it stops the thread before the socket goes.
class CAutoConfig : public CThreadHelper
{
public:
    explicit CAutoConfig(CAutoConfigOwner* dialog);
    ~CAutoConfig() override;

    // Client start: connects to the host, queues the join and starts polling. Gives
    // non-zero when connected and the poll thread runs; a failure is logged with its
    // cause.
    int ConnectToHost(const char* host);
    // Host start: listens on the AutoConfig port, logs the addresses the others need
    // and starts polling. Gives non-zero when listening and the poll thread runs.
    int StartHost();
    // Host only: writes the user list to every connection; it leaves at the next Poll,
    // which it wakes.
    void Sync();

    static unsigned PollThread(void* session);

    // Serialises the poll thread's Poll with Sync. Taken before g_usersLock, never after.
    CCS SocketLock;
    CAutoConfigOwner* Dialog; // not owned
    std::unique_ptr<CUSocket> Socket;
    int IsHost = 0;

private:
    // The poll thread sleeps until a socket is ready, or this wakes it (a stop, a Sync).
    void Wake();
    // What the thread waits for: every socket's input, and room where output waits.
    // Under SocketLock.
    void Watch(std::vector<pollfd>& fds) const;
    // Waits up to `timeoutMs` (-1: for ever) for `fds` or a Wake.
    void Wait(std::vector<pollfd>& fds, int timeoutMs);

    CScopedFd m_wakeFd;
};

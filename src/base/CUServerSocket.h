#pragma once

#include "base/CUObList.h"
#include "base/CUSocket.h"

// A listening TCP socket and the connections it has accepted, which it owns. Its Poll
// accepts, moves every connection's data and hands each connection's input to the
// server's own ProcessInput.
class CUServerSocket : public CUSocket
{
public:
    CUServerSocket() = default;
    // Destroys the remaining connections and closes the listening socket.
    ~CUServerSocket() override;

    // Listens on every local address at `port` (non-blocking, address reuse on).
    int Listen(int port, int backlog);

    // Accepts every waiting connection through AcceptSocket, then for each connection
    // sends its output, reads its input, hands that to ProcessInput(connection) and
    // gives a dead one to CloseSocket. Gives 0 when the listening socket is broken.
    int Poll() override;

    // Accepts one waiting connection and appends it to Connections itself. Gives the
    // new connection, or null when none could be accepted.
    virtual CUSocket* AcceptSocket();
    // Takes a connection that has gone out of Connections and destroys it.
    virtual void CloseSocket(CUSocket* s);

    CUObList<CUSocket> Connections; // owned, oldest first
};

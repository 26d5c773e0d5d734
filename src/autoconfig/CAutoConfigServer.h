#pragma once

#include "base/CUServerSocket.h"
#include "base/CUString.h"

#include <cstddef>

class CAutoConfigOwner;
class CPeerSocket;
class CUBuffer;

// The AutoConfig host's listening socket. Its connections are CPeerSockets, oldest
// first; each one's name comes from its CMD_JOIN.
class CAutoConfigServer : public CUServerSocket
{
public:
    explicit CAutoConfigServer(CAutoConfigOwner* owner) : Owner(owner) {}
    ~CAutoConfigServer() override = default;

    // The host's input processing: CMD_JOIN is the one command it knows.
    int ProcessInput(CUSocket* s) override;
    CUSocket* AcceptSocket() override;
    // Logs the departure, then removes and destroys the connection.
    void CloseSocket(CUSocket* s) override;

    // Builds one CMD_USER_INFO body: every connection, oldest first, then the host
    // itself, entering every listed connection in the host's User List on the way.
    // Connections that would make the message longer than a receiver takes are left
    // out with a warning line. Gives the number of users listed.
    int BuildUserInfo(CUBuffer& body);
    // Puts a built body into the target's output in place of any unsent earlier one.
    static void QueueUserInfo(CPeerSocket* target, const CUBuffer& body);
    // The same with the host's own record for this target: at its HostIP when it has
    // one, else as built (the External IP).
    void QueueUserInfoFor(CPeerSocket* target, const CUBuffer& body);
    // Both for one target. Sends nothing itself.
    void SendUserInfo(CPeerSocket* target);

    CAutoConfigOwner* Owner; // not owned

private:
    size_t m_hostRecordAt = 0; // where the last built body's host record starts
    CUString m_hostName;
};

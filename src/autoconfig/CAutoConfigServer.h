#pragma once

#include "base/CUServerSocket.h"

class CAutoConfigOwner;
class CPeerSocket;

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

    // Writes one CMD_USER_INFO into the target's output: every connection, oldest
    // first, then the host itself. Enters every connection in the host's User List on
    // the way. Sends nothing itself.
    void SendUserInfo(CPeerSocket* target);

    CAutoConfigOwner* Owner; // not owned
};

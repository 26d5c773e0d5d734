#pragma once

#include "base/CUSocket.h"
#include "base/CUString.h"

class CAutoConfigOwner;
class CLogRound;

// An AutoConfig connection: the client's connection to the host, or one the host has
// accepted. It is also the form in which one user travels on the wire: its IP, then
// its name, each as a string.
class CPeerSocket : public CUSocket
{
public:
    CPeerSocket() = default;
    explicit CPeerSocket(CAutoConfigOwner* owner) : Owner(owner) {}
    ~CPeerSocket() override = default;

    // One user record: IP, then Name (cut to MaxNameLength bytes when read).
    void Read(CUBuffer& b) override;
    void Write(CUBuffer& b) override;

    // The client's input processing: CMD_USER_INFO is the one command it knows.
    int ProcessInput(CUSocket* s) override;
    // Applies a received user list to the owner's settings: every user unchecked, then
    // each listed player added or updated and checked; a record whose IP is no IPv4
    // address is skipped with a warning. Logs through the input round's log.
    void OnUserInfo(CUBuffer& in, CLogRound& log);

    CAutoConfigOwner* Owner = nullptr; // the client's window; null on the host
    CUString Name;
    CUString IP;
    // On the host: the address this connection reached the host at when the client is
    // a neighbour on one of this machine's networks (a VPN tunnel, the same LAN); empty
    // for a client that came through a router.
    CUString HostIP;
};

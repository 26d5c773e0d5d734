#include "autoconfig/CAutoConfigServer.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "autoconfig/CLogRound.h"
#include "autoconfig/CPeerSocket.h"
#include "base/CLogSink.h"
#include "base/CRouteWatch.h"
#include "users/CSettings.h"

#include <memory>

// Every connection is made by AcceptSocket below, so each one is a CPeerSocket.
static CPeerSocket* AsPeer(CUSocket* s)
{
    return static_cast<CPeerSocket*>(s);
}

int CAutoConfigServer::ProcessInput(CUSocket* s)
{
    CPeerSocket* peer = AsPeer(s);
    return ProcessAutoConfigInput(
        this, s, CMD_JOIN, &Owner->GetLog(), [peer](CUBuffer& in, CLogRound& log) {
            CUString name;
            in >> name;
            if (in.Failed())
                return;
            CutName(name);
            peer->Name = name;
            log.Message("%s (%s) connected successfully.", ForLog(peer->IP).c_str(),
                        ForLog(peer->Name).c_str());
        });
}

CUSocket* CAutoConfigServer::AcceptSocket()
{
    auto peer = std::make_unique<CPeerSocket>();
    if (!peer->Accept(GetHandle()))
        return nullptr;
    peer->GetPeerName(peer->IP);
    // The host's record must name an address this client can send to. A client on one
    // of this machine's networks (no router between: a VPN tunnel, the LAN) reached the
    // host at the connection's own address; one that came through a router reached a
    // port forward, which the External IP names. One on this machine keeps that too.
    CRoute route;
    sockaddr_in peerAddress{};
    if (CUSocket::GetSockAddr(peerAddress, peer->IP.c_str(), 0) &&
        CRouteWatch::LookUpOnce(peerAddress.sin_addr.s_addr, route) && !route.Gateway &&
        !route.Local)
        peer->GetSockName(peer->HostIP);
    CPeerSocket* accepted = peer.get();
    Connections.AddTail(peer.release()); // the list owns its connections
    return accepted;
}

void CAutoConfigServer::CloseSocket(CUSocket* s)
{
    CPeerSocket* peer = AsPeer(s);
    Owner->GetLog().Message("%s (%s) disconnected.", ForLog(peer->IP).c_str(),
                            ForLog(peer->Name).c_str());
    CUServerSocket::CloseSocket(s);
}

int CAutoConfigServer::BuildUserInfo(CUBuffer& body)
{
    CSettings* settings = Owner->GetSettings();
    CUString hostName = settings->AutoName;
    CutName(hostName);
    // The host's record is written last but must always fit: keep room for the longest
    // address an applied connection can give ExternalIP. A longer ExternalIP is no
    // address (a client would skip it) and goes out empty, so that no text, however
    // long, can push the list past what a receiver takes.
    const size_t longestAddress = 15;
    const size_t header = 8; // the command and the count
    const size_t hostRecord = 8 + longestAddress + static_cast<size_t>(hostName.GetLength());
    const size_t room = CUSocket::MaxMessageLength - header - hostRecord;

    CUBuffer records;
    int32_t count = 1;
    for (CUSocket* s : Connections) {
        CPeerSocket* peer = AsPeer(s);
        size_t length = 8 + static_cast<size_t>(peer->IP.GetLength() + peer->Name.GetLength());
        if (records.GetDataLength() + length > room) {
            // Every receiver would refuse the whole list: leave this one out instead.
            Owner->GetLog().Message(
                "WARNING: %s (%s) left out of the user list: it would exceed %d bytes.",
                ForLog(peer->IP).c_str(), ForLog(peer->Name).c_str(), CUSocket::MaxMessageLength);
            continue;
        }
        peer->Write(records);
        ++count;
        // Taken after SocketLock, the order every AutoConfig change to Users keeps.
        CCSLock lock(g_usersLock);
        settings->AddOrUpdateUser(peer->Name.c_str(), peer->IP.c_str());
    }
    body.Clear();
    body << CMD_USER_INFO << count;
    body.Append(records.GetData(), records.GetDataLength());
    m_hostRecordAt = body.GetDataLength();
    m_hostName = hostName;
    CCSLock lock(g_usersLock); // ExternalIP may have changed just now, under this lock
    const bool fits = settings->ExternalIP.GetLength() <= static_cast<int>(longestAddress);
    body << (fits ? settings->ExternalIP : CUString()) << hostName;
    return count;
}

void CAutoConfigServer::QueueUserInfo(CPeerSocket* target, const CUBuffer& body)
{
    // A list still unsent from an earlier Sync is out of date; both together would
    // also be framed as one message longer than a receiver takes.
    target->Out.Clear();
    target->Out.Append(body.GetData(), body.GetDataLength());
}

void CAutoConfigServer::QueueUserInfoFor(CPeerSocket* target, const CUBuffer& body)
{
    if (target->HostIP.IsEmpty() || m_hostRecordAt > body.GetDataLength()) {
        QueueUserInfo(target, body);
        return;
    }
    CUBuffer own; // room for it was kept: HostIP is never longer than an address
    own.Append(body.GetData(), m_hostRecordAt);
    own << target->HostIP << m_hostName;
    QueueUserInfo(target, own);
}

void CAutoConfigServer::SendUserInfo(CPeerSocket* target)
{
    CUBuffer body;
    BuildUserInfo(body);
    QueueUserInfoFor(target, body);
}

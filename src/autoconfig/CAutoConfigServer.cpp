#include "autoconfig/CAutoConfigServer.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "autoconfig/CPeerSocket.h"
#include "base/CLogSink.h"
#include "users/CSettings.h"

// Every connection is made by AcceptSocket below, so each one is a CPeerSocket.
static CPeerSocket* AsPeer(CUSocket* s)
{
    return static_cast<CPeerSocket*>(s);
}

int CAutoConfigServer::ProcessInput(CUSocket* s)
{
    CPeerSocket* peer = AsPeer(s);
    return ProcessAutoConfigInput(this, s, CMD_JOIN, &Owner->GetLog(), [this, peer](CUBuffer& in) {
        CUString name;
        in >> name;
        if (in.Failed())
            return;
        peer->Name = name;
        Owner->GetLog().Message("%s (%s) connected successfully.", peer->IP.c_str(),
                                peer->Name.c_str());
    });
}

CUSocket* CAutoConfigServer::AcceptSocket()
{
    auto* peer = new CPeerSocket;
    if (!peer->Accept(GetHandle())) {
        delete peer;
        return nullptr;
    }
    Connections.AddTail(peer);
    peer->GetPeerName(peer->IP);
    return peer;
}

void CAutoConfigServer::CloseSocket(CUSocket* s)
{
    CPeerSocket* peer = AsPeer(s);
    Owner->GetLog().Message("%s (%s) disconnected.", peer->IP.c_str(), peer->Name.c_str());
    CUServerSocket::CloseSocket(s);
}

void CAutoConfigServer::SendUserInfo(CPeerSocket* target)
{
    CSettings* settings = Owner->GetSettings();
    CUBuffer& out = target->Out;
    out << CMD_USER_INFO << static_cast<int32_t>(Connections.GetCount() + 1);
    for (CUSocket* s : Connections) {
        CPeerSocket* peer = AsPeer(s);
        peer->Write(out);
        // Taken after SocketLock, the order every AutoConfig change to Users keeps.
        CCSLock lock(g_usersLock);
        settings->AddOrUpdateUser(peer->Name.c_str(), peer->IP.c_str());
    }
    out << settings->ExternalIP << settings->AutoName;
}

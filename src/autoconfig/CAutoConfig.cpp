#include "autoconfig/CAutoConfig.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"
#include "base/CLogSink.h"
#include "users/CSettings.h"

#include <chrono>
#include <thread>

CAutoConfig::~CAutoConfig()
{
    // The thread polls Socket: it must have returned before the socket goes.
    StopAndWait();
    delete Socket;
}

int CAutoConfig::ConnectToHost(const char* host)
{
    if (Socket)
        return 0;
    auto* peer = new CPeerSocket(Dialog);
    Socket = peer;
    if (!peer->Connect(host, AUTOCONFIG_PORT, 0)) {
        Dialog->GetLog().Message("Error: Could not connect to host.");
        return 0;
    }
    Dialog->GetLog().Message("Connected to host; waiting for sync.");
    *peer << CMD_JOIN << Dialog->GetSettings()->AutoName;
    return StartThread(PollThread, 0);
}

int CAutoConfig::StartHost()
{
    if (Socket)
        return 0;
    auto* server = new CAutoConfigServer(Dialog);
    Socket = server;
    if (!server->Listen(AUTOCONFIG_PORT, 3)) {
        Dialog->GetLog().Message("Error in socket listen.");
        return 0;
    }
    IsHost = 1;
    Dialog->GetLog().Message("Host started; waiting for clients.");
    return StartThread(PollThread, 0);
}

void CAutoConfig::Sync()
{
    CCSLock lock(SocketLock);
    if (!IsHost)
        return;
    auto* server = static_cast<CAutoConfigServer*>(Socket);
    for (CUSocket* s : server->Connections)
        server->SendUserInfo(static_cast<CPeerSocket*>(s));
    Dialog->GetLog().Message("Sent info for %d users.", server->Connections.GetCount() + 1);
}

unsigned CAutoConfig::PollThread(void* param)
{
    auto* session = static_cast<CAutoConfig*>(static_cast<CThreadHelper*>(param));
    CCSLock running(session->ThreadLock);
    // A stop asked for before this point is kept: the loop is then skipped.
    if (session->SetRunning()) {
        for (;;) {
            int alive;
            {
                CCSLock lock(session->SocketLock);
                alive = session->Socket->Poll();
            }
            if (!alive)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (session->StopRequested())
                break;
        }
    }
    if (!session->IsHost)
        session->Dialog->GetLog().Message("Connection closed by host.");
    session->Abort();
    session->Dialog->UpdateButton();
    return 0;
}

#include "autoconfig/CAutoConfig.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"
#include "base/CLogSink.h"
#include "base/MonotonicClock.h"
#include "users/CSettings.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

constexpr int PollIntervalMs = 50; // at most one Poll per this, however busy the peers

// The OS's reason without the name of the call that failed ("connect: timed out").
const char* Cause(const CUString& error)
{
    int at = error.Find(": ");
    return at < 0 ? error.c_str() : error.c_str() + at + 2;
}

// What the others type as AC Host IP: the external IP first when set, then every
// address of this machine other than loopback (loopback only when there is nothing else).
std::string HostAddresses(const CUString& externalIP)
{
    std::vector<std::string> shown;
    if (CUString::ValidateIPAddress(externalIP.c_str()))
        shown.push_back(externalIP.Str());
    std::vector<uint32_t> own;
    CUSocket::GetLocalAddresses(own);
    for (bool loopback : {false, true}) {
        for (uint32_t address : own) {
            char text[INET_ADDRSTRLEN];
            in_addr a{address};
            if (((ntohl(address) >> 24) == 127) != loopback ||
                !inet_ntop(AF_INET, &a, text, sizeof text))
                continue;
            if (std::find(shown.begin(), shown.end(), text) == shown.end())
                shown.push_back(text);
        }
        if (!shown.empty())
            break;
    }
    std::string joined;
    for (const std::string& address : shown)
        joined += (joined.empty() ? "" : ", ") + address;
    return joined;
}

} // namespace

CAutoConfig::CAutoConfig(CAutoConfigOwner* dialog)
    : Dialog(dialog), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

CAutoConfig::~CAutoConfig()
{
    // The thread polls Socket: it must have returned before the socket goes.
    RequestStop();
    Wake();
    StopAndWait();
    Socket.reset();
}

void CAutoConfig::Wake()
{
    if (m_wakeFd.IsOpen())
        ::eventfd_write(m_wakeFd.Get(), 1);
}

void CAutoConfig::Watch(std::vector<pollfd>& fds) const
{
    auto watch = [&fds](const CUSocket* s) {
        if (s->GetHandle() >= 0)
            fds.push_back({s->GetHandle(),
                           static_cast<short>(POLLIN | (s->HasPendingOutput() ? POLLOUT : 0)), 0});
    };
    watch(Socket.get());
    if (IsHost)
        for (const CUSocket* connection : static_cast<CUServerSocket*>(Socket.get())->Connections)
            watch(connection);
}

void CAutoConfig::Wait(std::vector<pollfd>& fds, int timeoutMs)
{
    // Without its eventfd a stop could not wake the wait: then poll every interval.
    if (!m_wakeFd.IsOpen() && (timeoutMs < 0 || timeoutMs > PollIntervalMs))
        timeoutMs = PollIntervalMs;
    fds.push_back({m_wakeFd.Get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), timeoutMs) > 0 && (fds.back().revents & POLLIN)) {
        eventfd_t count;
        ::eventfd_read(m_wakeFd.Get(), &count);
    }
}

int CAutoConfig::ConnectToHost(const char* host)
{
    if (Socket)
        return 0;
    Socket = std::make_unique<CPeerSocket>(Dialog);
    if (!Socket->Connect(host, AutoConfigPort, 0)) {
        Dialog->GetLog().Message("Error: Could not connect to host.: %s",
                                 Cause(Socket->GetLastError()));
        return 0;
    }
    Dialog->GetLog().Message("Connected to host; waiting for sync.");
    // The host keeps no more of a name than this; sending more only risks a refusal.
    CUString name = Dialog->GetSettings()->AutoName;
    CutName(name);
    *Socket << CMD_JOIN << name;
    return StartThread(PollThread, 0);
}

int CAutoConfig::StartHost()
{
    if (Socket)
        return 0;
    auto server = std::make_unique<CAutoConfigServer>(Dialog);
    const int listening = server->Listen(AutoConfigPort, ListenBacklog);
    Socket = std::move(server);
    if (!listening) {
        Dialog->GetLog().Message("Error in socket listen.: %s", Cause(Socket->GetLastError()));
        return 0;
    }
    IsHost = 1;
    Dialog->GetLog().Message("Host started; waiting for clients.");
    Dialog->GetLog().Message(
        "Others connect to %s on TCP port %d; the router must forward that port to this machine.",
        HostAddresses(Dialog->GetSettings()->ExternalIP).c_str(), AutoConfigPort);
    return StartThread(PollThread, 0);
}

void CAutoConfig::Sync()
{
    CCSLock lock(SocketLock);
    if (!IsHost)
        return;
    auto* server = static_cast<CAutoConfigServer*>(Socket.get());
    // Built once: every client gets the same list, and the host's User List is
    // updated once per Sync rather than once per client.
    CUBuffer body;
    int users = server->BuildUserInfo(body);
    for (CUSocket* s : server->Connections)
        server->QueueUserInfoFor(static_cast<CPeerSocket*>(s), body);
    Dialog->GetLog().Message("Sent info for %d users.", users);
    Wake(); // the poll thread sleeps until it has something to do
}

unsigned CAutoConfig::PollThread(void* param)
{
    auto* session = static_cast<CAutoConfig*>(static_cast<CThreadHelper*>(param));
    CCSLock running(session->ThreadLock);
    // A stop asked for before this point is kept: the loop is then skipped.
    if (session->SetRunning()) {
        std::vector<pollfd> fds;
        for (;;) {
            const int64_t polled = MonotonicMs();
            int alive;
            fds.clear();
            {
                CCSLock lock(session->SocketLock);
                alive = session->Socket->Poll();
                if (alive)
                    session->Watch(fds);
            }
            if (!alive || session->StopRequested())
                break;
            // Poll never waits for data: the thread sleeps here until there is some, or
            // room for waiting output, a Sync or the stop. With no traffic it never wakes.
            session->Wait(fds, -1);
            if (session->StopRequested())
                break;
            // A peer that floods is still served at most once per interval.
            const int64_t rest = polled + PollIntervalMs - MonotonicMs();
            if (rest > 0) {
                fds.clear();
                session->Wait(fds, static_cast<int>(rest));
                if (session->StopRequested())
                    break;
            }
        }
    }
    if (!session->IsHost)
        session->Dialog->GetLog().Message("Connection closed by host.");
    session->Abort();
    session->Dialog->UpdateButton();
    return 0;
}

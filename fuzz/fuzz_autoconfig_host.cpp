// The AutoConfig host's input processing fed whatever a client might send: it must not
// crash, must hold no more than one message per connection, and the names that joins
// bring in must go into the settings file as one line per user when the host syncs.
#include "AutoConfigFuzz.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    acfuzz::CFuzzOwner owner;
    owner.Settings.AutoName = "Host";
    CAutoConfigServer server(&owner);
    // As AcceptSocket leaves a connection; the server owns and destroys it.
    auto* peer = new CPeerSocket;
    const int client = acfuzz::ConnectLoopback(*peer);
    peer->IP = "10.0.0.7"; // a peer's address as the User List shows it
    server.Connections.AddTail(peer);
    acfuzz::Feed(*peer, client, data, size, [&] {
        // The listening socket is not open: Poll only serves the connection.
        server.Poll();
        if (!server.Connections.Contains(peer))
            return false;
        // A sync after every step enters the peer's name as it stands then.
        server.SendUserInfo(peer);
        return true;
    });
    acfuzz::CheckSavedSettings(owner.Settings);
    return 0;
}

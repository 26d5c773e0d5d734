// The AutoConfig host's input processing fed whatever a client might send: it must not
// crash, what it keeps must be sound (see SoundAfterInput), and a Sync after every step
// must build a list that every receiver takes.
#include "../tests/core/AutoConfigTestKit.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    actest::CTestOwner owner("Host");
    CAutoConfigServer server(&owner);
    auto peer = std::make_unique<CPeerSocket>();
    CPeerSocket& client = *peer;
    client.IP = "10.0.0.7"; // as AcceptSocket leaves it; the server owns it from here
    server.Connections.AddTail(peer.release());
    CUBuffer list;
    actest::FeedInPieces(client, data, size, [&] {
        server.ProcessInput(&client);
        server.BuildUserInfo(list);
        return list.GetDataLength() <= static_cast<size_t>(CUSocket::MaxMessageLength) &&
               !client.InputRefused();
    });
    if (!actest::SoundAfterInput(owner) || list.GetDataLength() > CUSocket::MaxMessageLength)
        __builtin_trap();
    return 0;
}

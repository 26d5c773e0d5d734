// The AutoConfig client's input processing fed whatever a host might send: it must not
// crash, must hold no more than one message, and what it puts into the User List must
// go into the settings file as one line per user.
#include "AutoConfigFuzz.h"
#include "autoconfig/CPeerSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    acfuzz::CFuzzOwner owner;
    owner.Settings.AutoName = "Me";
    owner.Settings.AddOrUpdateUser("Old Friend", "10.0.0.5");
    CPeerSocket client(&owner);
    const int host = acfuzz::ConnectLoopback(client);
    acfuzz::Feed(client, host, data, size, [&] { return client.Poll() != 0; });
    acfuzz::CheckSavedSettings(owner.Settings);
    return 0;
}

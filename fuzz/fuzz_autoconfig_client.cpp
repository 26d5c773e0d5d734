// The AutoConfig client's input processing fed whatever a host might send: it must not
// crash, and what it keeps must be sound (see SoundAfterInput).
#include "../tests/core/AutoConfigTestKit.h"
#include "autoconfig/CPeerSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    actest::CTestOwner owner("Me");
    owner.Settings.AddOrUpdateUser("Old Friend", "10.0.0.5");
    CPeerSocket client(&owner);
    actest::FeedInPieces(client, data, size, [&] {
        client.ProcessInput(&client);
        return !client.InputRefused();
    });
    if (!actest::SoundAfterInput(owner))
        __builtin_trap();
    return 0;
}

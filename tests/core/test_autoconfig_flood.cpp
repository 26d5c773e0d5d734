// A peer decides how many messages one read holds. A full read of the smallest
// messages must be handled one after the other without the stack growing per message:
// the poll threads have an ordinary thread's stack, and a sanitizer build needs
// several times more per call.
#include "AutoConfigTestKit.h"
#include "autoconfig/CAutoConfigServer.h"
#include "autoconfig/CPeerSocket.h"
#include "base/CUSocket.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

namespace
{

using namespace actest;

// As many one-byte messages as one read can hold: each is malformed on its own.
Bytes FullReadOfTinyMessages()
{
    Bytes flood;
    for (int i = 0; i < (4 + CUSocket::MaxMessageLength) / 5; ++i)
        flood.insert(flood.end(), {0, 0, 0, 1, 0x42});
    return flood;
}

constexpr int kMessages = (4 + CUSocket::MaxMessageLength) / 5;

// Runs `body` on a thread with a small stack (far less than the thousands of nested
// calls a call per message would need) and waits for it.
void OnSmallStack(const std::function<void()>& body)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    pthread_t thread;
    auto* work = new std::function<void()>(body);
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* p) -> void* {
                      auto* f = static_cast<std::function<void()>*>(p);
                      (*f)();
                      delete f;
                      return nullptr;
                  },
                  work),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

TEST(AutoConfigFlood, ClientHandlesAFullReadOfTinyMessagesOnASmallStack)
{
    CTestOwner owner("Me");
    CPeerSocket client(&owner);
    const Bytes flood = FullReadOfTinyMessages();
    client.In.Append(flood.data(), flood.size());
    OnSmallStack([&] { client.ProcessInput(&client); });
    EXPECT_EQ(client.In.GetDataLength(), 0u);
    EXPECT_EQ(owner.Log.Count("WARNING: Malformed message received: 1 bytes."), kMessages);
}

TEST(AutoConfigFlood, HostHandlesAFullReadOfTinyMessagesOnASmallStack)
{
    CTestOwner owner("Host");
    CAutoConfigServer server(&owner);
    auto* peer = new CPeerSocket; // owned by the server from here
    server.Connections.AddTail(peer);
    const Bytes flood = FullReadOfTinyMessages();
    peer->In.Append(flood.data(), flood.size());
    OnSmallStack([&] { server.ProcessInput(peer); });
    EXPECT_EQ(peer->In.GetDataLength(), 0u);
    EXPECT_EQ(owner.Log.Count("WARNING: Malformed message received: 1 bytes."), kMessages);
}

} // namespace

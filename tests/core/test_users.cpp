// The User List rules that Add, AutoConfig and Sync all go through.
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace
{

std::string Names(const CSettings& settings)
{
    std::string names;
    for (CUserSocket* user : settings.Users)
        names += user->Name.Str() + "@" + user->IP.Str() + (user->Forward ? " " : "- ");
    return names + "ext=" + settings.ExternalIP.Str();
}

TEST(AddOrUpdateUser, Rules)
{
    const struct {
        const char* what;
        std::vector<std::pair<const char*, const char*>> adds; // after Bo 10.0.0.2, Al 10.0.0.1
        std::string want;
    } cases[] = {
        {"own name (exact) sets the external IP only",
         {{"Me", "10.0.0.5"}},
         "Al@10.0.0.1- Bo@10.0.0.2 ext=10.0.0.5"},
        {"own name in another case is another player",
         {{"me", "10.0.0.6"}},
         "me@10.0.0.6 Al@10.0.0.1- Bo@10.0.0.2 ext="},
        {"a new record goes first, checked",
         {{"Cy", "10.0.0.3"}},
         "Cy@10.0.0.3 Al@10.0.0.1- Bo@10.0.0.2 ext="},
        {"an earlier IP match wins over a later name match",
         {{"bo", "10.0.0.1"}},
         "bo@10.0.0.1 Bo@10.0.0.2 ext="},
        {"a name match ignores case, takes spelling and IP, keeps its place, checks",
         {{"AL", "10.0.0.9"}},
         "AL@10.0.0.9 Bo@10.0.0.2 ext="},
    };
    for (const auto& c : cases) {
        CSettings settings;
        settings.SetAutoName("Me");
        settings.AddOrUpdateUser("Bo", "10.0.0.2");
        settings.AddOrUpdateUser("Al", "10.0.0.1")->Forward = 0;
        for (const auto& [name, ip] : c.adds)
            settings.AddOrUpdateUser(name, ip);
        EXPECT_EQ(Names(settings), c.want) << c.what;
        EXPECT_EQ(settings.Users.GetHead()->Address.sin_addr.s_addr,
                  inet_addr(settings.Users.GetHead()->IP.c_str()))
            << c.what << ": the address follows the IP";
    }
}

TEST(AddOrUpdateUser, DuplicatesUpdateTheFirst)
{
    CSettings settings;
    CUserSocket* second = settings.AddOrUpdateUser("Al", "10.0.0.1");
    settings.Users.AddHead(new CUserSocket("Al", "10.0.0.1"));
    EXPECT_EQ(settings.AddOrUpdateUser("al", "10.0.0.4"), settings.Users.GetHead());
    EXPECT_EQ(second->IP.Str(), "10.0.0.1");
}

TEST(UserList, ClearForwardFlagsAndDelete)
{
    CSettings settings;
    CUserSocket* c = settings.AddOrUpdateUser("C", "10.0.0.3");
    settings.AddOrUpdateUser("B", "10.0.0.2");
    CUserSocket* a = settings.AddOrUpdateUser("A", "10.0.0.1");
    CUObList<CUserSocket> selected;
    settings.DeleteUsers(&selected);
    EXPECT_EQ(Names(settings), "A@10.0.0.1 B@10.0.0.2 C@10.0.0.3 ext=") << "nothing selected";
    settings.ClearForwardFlags();
    selected.AddTail(c);
    selected.AddTail(a);
    settings.DeleteUsers(&selected);
    EXPECT_EQ(Names(settings), "B@10.0.0.2- ext=");
}

TEST(UserRecord, AnInvalidIpHasNoAddress)
{
    CUserSocket user("Al", "192.168.7.9");
    user.IP = "10.0.0.300";
    user.ResolveAddress();
    EXPECT_EQ(user.Address.sin_addr.s_addr, 0u); // never a destination
}

} // namespace

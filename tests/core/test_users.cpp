// The User List rules that Add, AutoConfig and Sync all go through.
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

namespace
{

std::vector<std::string> Names(const CSettings& settings)
{
    std::vector<std::string> names;
    for (CUserSocket* user : settings.Users)
        names.push_back(user->Name.Str() + "@" + user->IP.Str() + (user->Forward ? "" : "-"));
    return names;
}

TEST(AddOrUpdateUser, OwnNameIsExactAndSetsTheExternalIP)
{
    CSettings settings;
    settings.SetAutoName("Bob");
    EXPECT_EQ(settings.AddOrUpdateUser("Bob", "10.0.0.5"), nullptr);
    EXPECT_EQ(settings.ExternalIP.Str(), "10.0.0.5");
    EXPECT_EQ(settings.Users.GetCount(), 0);

    CUserSocket* other = settings.AddOrUpdateUser("bob", "10.0.0.6");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(settings.ExternalIP.Str(), "10.0.0.5");
    EXPECT_EQ(Names(settings), std::vector<std::string>{"bob@10.0.0.6"});
}

TEST(AddOrUpdateUser, EmptyOwnNameMatchesNobody)
{
    CSettings settings;
    EXPECT_NE(settings.AddOrUpdateUser("", "10.0.0.5"), nullptr);
    EXPECT_TRUE(settings.ExternalIP.IsEmpty());
}

TEST(AddOrUpdateUser, NewRecordsGoFirstAndChecked)
{
    CSettings settings;
    settings.AddOrUpdateUser("Bo", "10.0.0.2");
    settings.AddOrUpdateUser("Al", "10.0.0.1");
    CUserSocket* cy = settings.AddOrUpdateUser("Cy", "10.0.0.3");
    EXPECT_EQ(settings.Users.GetHead(), cy);
    EXPECT_EQ(Names(settings),
              (std::vector<std::string>{"Cy@10.0.0.3", "Al@10.0.0.1", "Bo@10.0.0.2"}));
}

TEST(AddOrUpdateUser, EarlierIpMatchWinsOverLaterNameMatch)
{
    CSettings settings;
    settings.AddOrUpdateUser("Bo", "10.0.0.2");
    CUserSocket* al = settings.AddOrUpdateUser("Al", "10.0.0.1"); // head: Al, Bo
    al->Forward = 0;
    CUserSocket* updated = settings.AddOrUpdateUser("bo", "10.0.0.1");
    EXPECT_EQ(updated, al);
    EXPECT_EQ(Names(settings), (std::vector<std::string>{"bo@10.0.0.1", "Bo@10.0.0.2"}));
}

TEST(AddOrUpdateUser, NameMatchIgnoresCaseAndTakesNewSpellingAndAddress)
{
    CSettings settings;
    CUserSocket* al = settings.AddOrUpdateUser("Al", "10.0.0.1");
    settings.AddOrUpdateUser("Bo", "10.0.0.2");
    al->Forward = 0;
    EXPECT_EQ(settings.AddOrUpdateUser("AL", "10.0.0.9"), al);
    EXPECT_EQ(al->Name.Str(), "AL");
    EXPECT_EQ(al->Forward, 1);
    EXPECT_EQ(al->Address.sin_addr.s_addr, inet_addr("10.0.0.9"));
    EXPECT_EQ(settings.Users.GetCount(), 2);
    EXPECT_EQ(settings.Users.GetAt(1), al); // keeps its place
}

TEST(AddOrUpdateUser, DuplicatesUpdateTheFirst)
{
    CSettings settings;
    CUserSocket* second = settings.AddOrUpdateUser("Al", "10.0.0.1");
    auto* first = new CUserSocket("Al", "10.0.0.1");
    settings.Users.AddHead(first);
    EXPECT_EQ(settings.AddOrUpdateUser("al", "10.0.0.4"), first);
    EXPECT_EQ(second->IP.Str(), "10.0.0.1");
}

TEST(UserList, ClearForwardFlagsAndDelete)
{
    CSettings settings;
    settings.ClearForwardFlags();
    CUObList<CUserSocket> none;
    settings.DeleteUsers(&none);

    CUserSocket* c = settings.AddOrUpdateUser("C", "10.0.0.3");
    CUserSocket* b = settings.AddOrUpdateUser("B", "10.0.0.2");
    CUserSocket* a = settings.AddOrUpdateUser("A", "10.0.0.1");
    settings.ClearForwardFlags();
    EXPECT_EQ(Names(settings),
              (std::vector<std::string>{"A@10.0.0.1-", "B@10.0.0.2-", "C@10.0.0.3-"}));

    CUObList<CUserSocket> selected;
    selected.AddTail(c);
    selected.AddTail(a);
    settings.DeleteUsers(&selected);
    EXPECT_EQ(settings.Users.GetCount(), 1);
    EXPECT_EQ(settings.Users.GetHead(), b);
}

TEST(UserRecord, AddressFollowsIp)
{
    CUserSocket user("Al", "192.168.7.9");
    EXPECT_EQ(user.Forward, 1);
    EXPECT_EQ(user.Address.sin_addr.s_addr, inet_addr("192.168.7.9"));
    user.IP = "10.0.0.300";
    user.ResolveAddress();
    EXPECT_EQ(user.Address.sin_addr.s_addr, 0u); // no address: never a destination
    EXPECT_FALSE(user.IsOpen());
}

} // namespace

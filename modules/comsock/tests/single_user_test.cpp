// Single-user mode, configured for the whole test program through the
// administrator's settings ("Permissions" "SingleUser" = "nobody"): the
// socket's name and owner, the user switch that changes nothing, and a
// service run by root that serves the single user's client.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <string>

#include "client.h"
#include "comsock_test_util.h"
#include "server.h"

using namespace ZELK::PSESVC::COMSOCK;
using namespace ZELK::PSESVC::COMSOCK::test;

TEST(SingleUser, TheSocketIsNamedForTheUserAndTheUserSwitchChangesNothing)
{
    passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "needs the user nobody";
    uid_t before = getuid();
    EXPECT_EQ(0, InChild([&] {
                  Ref<ServerUNIX> server;
                  std::string expected =
                      "/tmp/kestrin-" + std::to_string(nobody->pw_uid) + "/org.kestrin.client.nobody";
                  bool ok = server->UserSwitch("root") == S_OK && getuid() == before
                            && std::string(Server::SingleUser()) == "nobody" && expected == server->SocketPath();
                  return ok ? 0 : 1;
              }));
}

TEST(SingleUser, AServiceRunByRootServesTheSingleUser)
{
    passwd* nobody = getpwnam("nobody");
    if (getuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    std::string folder = "/tmp/kestrin-" + std::to_string(nobody->pw_uid);
    struct stat existing {};
    bool hadFolder = lstat(folder.c_str(), &existing) == 0;

    Ref<Factory> factory;
    Ref<ServerUNIX> server;
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    struct stat info {};
    ASSERT_EQ(0, lstat(folder.c_str(), &info));
    EXPECT_EQ(nobody->pw_uid, info.st_uid);
    EXPECT_EQ(0700u, info.st_mode & 0777);
    ASSERT_EQ(0, lstat(server->SocketPath(), &info));
    EXPECT_EQ(nobody->pw_uid, info.st_uid);
    EXPECT_EQ(0600u, info.st_mode & 0777);

    // Both ends accept each other: the service its single user, the client
    // a single-user service run by root.
    EXPECT_EQ(0, InChild([&] {
                  SetApplicationPath("/nonexistent/KestrinClient");
                  if (DropTo(nobody->pw_uid, nobody->pw_gid))
                      return 2;
                  Ref<ClientUNIX> client;
                  bool served = Exchange(client.get(), "hi") == "s1:hi";
                  return served ? 0 : 3;
              }));
    EXPECT_TRUE(WaitFor([&] { return factory->Count("disconnect") == 1; }));
    server->Disconnect(nullptr);
    if (!hadFolder) {
        EXPECT_EQ(0, rmdir(folder.c_str()));
    }
}

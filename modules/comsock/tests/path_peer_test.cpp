// The socket folder and path rules, and what the transport learns of peers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "comsock_path.h"
#include "comsock_peer.h"

using namespace ZELK::PSESVC::COMSOCK;

TEST(SocketPath, FolderFollowsTheRuntimeDirectoryAndIsPrivate)
{
    std::string runtime = getenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(runtime + "/kestrin", SocketFolder(getuid(), false));
    EXPECT_EQ("/tmp/kestrin-" + std::to_string(getuid()), SocketFolder(getuid(), true));
    EXPECT_EQ("/tmp/kestrin-4242", SocketFolder(4242, false)) << "another user's runtime folder is not ours";

    std::string folder = runtime + "/private-check";
    ASSERT_EQ(S_OK, EnsurePrivateFolder(folder, getuid(), getgid()));
    ASSERT_EQ(0, chmod(folder.c_str(), 0755));
    EXPECT_EQ(E_ACCESSDENIED, EnsurePrivateFolder(folder, getuid(), getgid())) << "open to others";
    rmdir(folder.c_str());
    ASSERT_EQ(0, symlink("/tmp", folder.c_str()));
    EXPECT_EQ(E_ACCESSDENIED, EnsurePrivateFolder(folder, getuid(), getgid())) << "a link";
    unlink(folder.c_str());
    if (getuid() == 0) {
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        ASSERT_EQ(0, chown(folder.c_str(), 4242, 4242));
        EXPECT_EQ(E_ACCESSDENIED, EnsurePrivateFolder(folder, getuid(), getgid())) << "someone else's";
        rmdir(folder.c_str());
    }

    char path[kSocketPathSize];
    EXPECT_EQ(E_FAIL, BuildSocketPath("/" + std::string(120, 'x'), "1", path)) << "never cut short";
    EXPECT_EQ(E_INVALIDARG, CreateSocketPath(nullptr));
    ASSERT_EQ(S_OK, CreateSocketPath(path));
    EXPECT_EQ(runtime + "/kestrin/org.kestrin.client." + std::to_string(getuid()), path);
}

TEST(PeerInfo, CredentialsNameAndExecutableOfThePeer)
{
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    PeerInfo peer;
    ASSERT_EQ(S_OK, GetPeerInfo(pair[0], &peer));
    EXPECT_EQ(getuid(), peer.uid);
    EXPECT_EQ(static_cast<uint32_t>(getpid()), peer.pid);
    EXPECT_STREQ("comsock_tests", peer.name);
    close(pair[0]);
    close(pair[1]);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    EXPECT_EQ(self, ReadProcessPath(static_cast<uint32_t>(getpid())));
    EXPECT_EQ("", ReadProcessPath(0));
    EXPECT_EQ(0u, GetPidUsingPort(0));
}

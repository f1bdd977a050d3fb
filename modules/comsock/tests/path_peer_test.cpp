// The socket folder and path rules, and what the transport learns of peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

namespace {

int Listener(sockaddr_in* address)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(*address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(address), length) != 0 || listen(fd, 4) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(address), &length) != 0)
        return -1;
    return fd;
}

}  // namespace

// The owner and process of a loopback TCP peer: this process first, then a
// child, so a process found before is never taken for the next connection's.
TEST(PeerInfo, TcpPeerIsTheProcessHoldingTheOtherEnd)
{
    sockaddr_in address {};
    int listener = Listener(&address);
    ASSERT_GE(listener, 0);
    int own = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, connect(own, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    uid_t uid = 4242;
    ASSERT_TRUE(GetTcpPeerUid(accepted, &uid));
    EXPECT_EQ(geteuid(), uid);
    EXPECT_EQ(static_cast<uint32_t>(getpid()), GetTcpPeerPid(accepted));
    close(accepted);
    close(own);

    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(listener);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            _exit(2);
        char byte = 0;
        _exit(read(ready[0], &byte, 1) == 1 ? 0 : 3);
    }
    accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(static_cast<uint32_t>(child), GetTcpPeerPid(accepted));
    ASSERT_EQ(1, write(ready[1], "x", 1));
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(accepted);
    close(ready[0]);
    close(ready[1]);

    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    EXPECT_FALSE(GetTcpPeerUid(pair[0], &uid)) << "not a TCP connection";
    EXPECT_EQ(0u, GetTcpPeerPid(pair[0]));
    close(pair[0]);
    close(pair[1]);
    close(listener);
}

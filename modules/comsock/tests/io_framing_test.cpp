// Exact transfers under partial sends and signals, and the session table:
// its bounds and its sessions ending with their process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "comsock_io.h"
#include "comsock_sessions.h"
#include "comsock_test_util.h"

using namespace ZELK::PSESVC::COMSOCK;
using namespace ZELK::PSESVC::COMSOCK::test;

TEST(ExactTransfer, LargeWritesAndReadsSurviveSmallBuffersAndSignals)
{
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    // A handler without SA_RESTART makes blocked calls fail with EINTR.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &old));

    std::string header(4, 'h');
    std::string body(1 << 20, 'b');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    HRESULT written = E_FAIL;
    std::thread writer([&] { written = WriteExact2(pair[0], header.data(), header.size(), body.data(), body.size()); });
    // The handle is known before the thread runs; the thread never writes it.
    pthread_t writerThread = writer.native_handle();
    std::string received(header.size() + body.size(), 0);
    for (int i = 0; i < 20; ++i) {
        usleep(1000);
        pthread_kill(writerThread, SIGUSR1);
    }
    EXPECT_EQ(S_OK, ReadExact(pair[1], received.data(), received.size()));
    writer.join();
    EXPECT_EQ(S_OK, written);
    EXPECT_EQ(header + body, received);

    // The peer closing: before any byte, part-way, and a write to a closed peer
    // (no SIGPIPE: the test would die).
    char byte = 'x';
    ASSERT_EQ(1, send(pair[0], &byte, 1, 0));
    close(pair[0]);
    char two[2];
    EXPECT_EQ(E_ABORT, ReadExact(pair[1], two, 2));
    EXPECT_EQ(COMSOCK_CLOSED, ReadExact(pair[1], two, 1));
    EXPECT_EQ(E_FAIL, WriteExact(pair[1], "data", 4));
    close(pair[1]);
    sigaction(SIGUSR1, &old, nullptr);
}

namespace {

// A child process that runs until End().
class Sleeper {
public:
    Sleeper()
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(ends[1]);
            char c;
            while (read(ends[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ends[0]);
        m_fd = ends[1];
    }
    ~Sleeper() { End(); }
    void End()
    {
        if (m_fd < 0)
            return;
        close(m_fd);
        m_fd = -1;
        waitpid(pid, nullptr, 0);
    }
    uint32_t Pid() const { return static_cast<uint32_t>(pid); }

    pid_t pid = -1;

private:
    int m_fd = -1;
};

bool Readable(int fd, int ms)
{
    pollfd ready {fd, POLLIN, 0};
    return poll(&ready, 1, ms) > 0;
}

}  // namespace

TEST(SessionTable, IdsAreRandomNonZeroAndWaitOnlyForARunningProcess)
{
    SessionTable table;
    Ref<EchoTunnel> tunnel;
    uint32_t a = 0, b = 0;
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), 0, &a));
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), static_cast<uint32_t>(getpid()), &b));
    EXPECT_NE(0u, a);
    EXPECT_NE(a, b);
    ITunnel* joined = nullptr;
    EXPECT_EQ(S_FALSE, table.Join(0, &joined));
    EXPECT_EQ(S_FALSE, table.Join(a ^ b ^ 1u, &joined));
    ASSERT_EQ(S_OK, table.Join(a, &joined));
    joined->Release();
    table.Leave(a);
    table.Leave(a);
    EXPECT_EQ(S_FALSE, table.Join(a, &joined)) << "without a process to wait for, the last holder ends it";
    // Held for a running process (this one), the session waits; a stop ends it.
    table.Leave(b);
    ASSERT_EQ(S_OK, table.Join(b, &joined));
    joined->Release();
    table.Close();
    EXPECT_EQ(S_FALSE, table.Join(b, &joined));
    table.Leave(b);
    EXPECT_EQ(0u, table.Count());
}

TEST(SessionTable, BoundsEndTheLongestWaitingSessionOrRefuse)
{
    SessionTable table;
    table.SetLimits(SessionLimits {2, 3});
    Ref<EchoTunnel> tunnel;
    auto self = static_cast<uint32_t>(getpid());
    uint32_t a = 0, b = 0, c = 0, d = 0, e = 0;
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), self, &a));
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), self, &b));
    EXPECT_EQ(S_FALSE, table.Add(tunnel.get(), self, &c)) << "both of the process's sessions are held";
    table.Leave(a);
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), self, &c)) << "the waiting one makes room";
    ITunnel* joined = nullptr;
    EXPECT_EQ(S_FALSE, table.Join(a, &joined));

    Sleeper other;
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), other.Pid(), &d));
    EXPECT_EQ(S_FALSE, table.Add(tunnel.get(), other.Pid(), &e)) << "three in all, none waiting";
    table.Leave(c);
    table.Leave(b);
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), other.Pid(), &e));
    EXPECT_EQ(S_FALSE, table.Join(c, &joined)) << "the longest waiting in all ended";
    ASSERT_EQ(S_OK, table.Join(b, &joined));
    joined->Release();
    EXPECT_EQ(3u, table.Count());
    for (uint32_t id : {b, d, e})
        table.Leave(id);
}

TEST(SessionTable, SessionsOfAProcessEndWhenItEnds)
{
    SessionTable table;
    Ref<EchoTunnel> tunnel;
    Sleeper child;
    uint32_t waiting = 0, held = 0;
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), child.Pid(), &waiting));
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), child.Pid(), &held));
    table.Leave(waiting);
    EXPECT_EQ(2u, table.Count());
    EXPECT_FALSE(Readable(table.WatchFd(), 0));
    child.End();
    ASSERT_TRUE(Readable(table.WatchFd(), 5000));
    table.EndExited();
    EXPECT_EQ(1u, table.Count()) << "the waiting session ended with its process";
    table.Leave(held);
    EXPECT_EQ(0u, table.Count()) << "the held one with its last connection";
    EXPECT_FALSE(Readable(table.WatchFd(), 0));
}

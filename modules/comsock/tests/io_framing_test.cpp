// Exact transfers under partial sends and signals, and the session table.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "comsock_io.h"
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

TEST(SessionTable, IdsAreRandomNonZeroAndEndWithTheirHolders)
{
    SessionTable table;
    Ref<EchoTunnel> tunnel;
    uint32_t a = 0, b = 0;
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), &a));
    ASSERT_EQ(S_OK, table.Add(tunnel.get(), &b));
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
    table.Leave(b, static_cast<uint32_t>(getpid()));
    ASSERT_EQ(S_OK, table.Join(b, &joined));
    joined->Release();
    table.Close();
    EXPECT_EQ(S_FALSE, table.Join(b, &joined));
    table.Leave(b, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(0u, table.Count());
}

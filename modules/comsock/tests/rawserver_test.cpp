// The raw TCP server on loopback: the port from the source, chunked input,
// replies over 16 KiB, close after a reply, the peer's process id, a port
// held by someone else, and restart on the same port.
#include "rawserver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "comsock_io.h"
#include "comsock_peer.h"
#include "comsock_test_util.h"

using namespace ZELK::PSESVC::COMSOCK;
using namespace ZELK::PSESVC::COMSOCK::test;

namespace {

// One connection's tunnel: collects input until a line ends ("\n"; answers 1
// before), then replies with the line ("big" 5000 times); "close" asks for
// the close after the reply, and "quiet" asks for it with an empty reply.
class LineTunnel : public ITunnel, public ITunnelControl, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(LineTunnel)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_INTMAP_ENTRY(ITunnelControl)
    ZELK_END_INTMAP()

    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override
    {
        m_line.append(reinterpret_cast<char*>(in), inLength);
        if (m_line.empty() || m_line.back() != '\n')
            return 1;
        ++s_lines;
        m_close = m_line == "close\n" || m_line == "quiet\n";
        if (m_line == "quiet\n") {
            m_line.clear();
            *outLength = 0;
            return 0;
        }
        size_t repeat = m_line.rfind("big", 0) == 0 ? 5000 : 1;
        std::string reply;
        for (size_t i = 0; i < repeat; ++i)
            reply += m_line;
        m_line.clear();
        if (reply.size() > *outLength) {
            auto* grown = static_cast<unsigned char*>(sec_malloc(reply.size()));
            sec_free(*out);
            *out = grown;
        }
        memcpy(*out, reply.data(), reply.size());
        *outLength = reply.size();
        return 0;
    }
    HRESULT Disconnect() override
    {
        ++s_disconnects;
        return 0;
    }
    bool CloseAfterTransact() override { return m_close; }
    HRESULT GetProperties(SECAttribute*) override { return 0; }
    HRESULT SetProperties(SECAttribute* a) override
    {
        if (a->id == ATTR_CLIENT_PID)
            s_pid = *static_cast<uint32_t*>(a->value);
        return 0;
    }

    static inline std::atomic<int> s_disconnects {0};
    static inline std::atomic<int> s_lines {0};
    static inline std::atomic<uint32_t> s_pid {0};

private:
    std::string m_line;
    bool m_close = false;
};

// The TLS connection factory's stand-in: a tunnel per connection and the port.
class LineFactory : public IClassFactory, public ITunnelControl, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(LineFactory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_INTMAP_ENTRY(ITunnelControl)
    ZELK_END_INTMAP()

    HRESULT CreateInstance(IUnknown*, const GUID& iid, void** out) override
    {
        CComObject<LineTunnel>* tunnel = nullptr;
        CComObject<LineTunnel>::CreateInstance(&tunnel);
        tunnel->AddRef();
        HRESULT hr = tunnel->QueryInterface(iid, out);
        tunnel->Release();
        return hr;
    }
    HRESULT LockServer(bool) override { return 0; }
    bool CloseAfterTransact() override { return false; }
    HRESULT GetProperties(SECAttribute* a) override
    {
        if (port != 0)
            ZELK_AttrSetInteger(a, port);
        return 0;
    }
    HRESULT SetProperties(SECAttribute*) override { return 0; }

    long port = 0;
};

int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int Dial(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    timeval limit {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return fd;
}

std::string ReadN(int fd, size_t n)
{
    std::string data(n, 0);
    size_t done = 0;
    while (done < n) {
        ssize_t got = recv(fd, data.data() + done, n - done, 0);
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    data.resize(done);
    return data;
}

class RawServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        factory->port = FreePort();
        ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
        ASSERT_EQ(factory->port, server->LocalPort());
    }
    void TearDown() override { server->Disconnect(nullptr); }

    Ref<LineFactory> factory;
    Ref<ServerRawTCP> server;
};

}  // namespace

TEST_F(RawServerTest, ChunkedInputLargeRepliesAndThePeersProcess)
{
    int fd = Dial(server->LocalPort());
    ASSERT_GE(fd, 0);
    // Pieces are collected by the tunnel (answer 1) and nothing is sent back
    // until the line is complete.
    for (const char* piece : {"hel", "lo ", "wor", "ld\n"}) {
        ASSERT_EQ(ssize_t(strlen(piece)), send(fd, piece, strlen(piece), MSG_NOSIGNAL));
        usleep(20000);
    }
    EXPECT_EQ("hello world\n", ReadN(fd, 12));
    EXPECT_EQ(static_cast<uint32_t>(getpid()), LineTunnel::s_pid.load());

    std::string big = "big\n";
    ASSERT_EQ(4, send(fd, big.data(), big.size(), MSG_NOSIGNAL));
    std::string reply = ReadN(fd, 5000 * big.size());
    ASSERT_EQ(5000 * big.size(), reply.size()) << "a reply over 16 KiB arrives whole";
    EXPECT_EQ(std::string("big\nbig\n"), reply.substr(0, 8));
    // The connection stays usable after the grown buffer.
    ASSERT_EQ(3, send(fd, "ok\n", 3, MSG_NOSIGNAL));
    EXPECT_EQ("ok\n", ReadN(fd, 3));
    close(fd);
}

TEST_F(RawServerTest, AnotherUsersConnectionIsClosedUnanswered)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "switching to another user needs root";
    int lines = LineTunnel::s_lines;
    int port = server->LocalPort();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The socket belongs to the user that makes it.
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        int fd = Dial(port);
        if (fd < 0)
            _exit(3);
        send(fd, "hello\n", 6, MSG_NOSIGNAL);
        char byte;
        _exit(recv(fd, &byte, 1, 0) <= 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the other user's connection got an answer";
    EXPECT_EQ(lines, LineTunnel::s_lines.load());

    // The own user's next connection is served.
    int fd = Dial(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(3, send(fd, "ok\n", 3, MSG_NOSIGNAL));
    EXPECT_EQ("ok\n", ReadN(fd, 3));
    close(fd);
}

TEST_F(RawServerTest, CloseAfterTransactClosesTheSocketAndTellsTheTunnel)
{
    int before = LineTunnel::s_disconnects;
    int fd = Dial(server->LocalPort());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(6, send(fd, "close\n", 6, MSG_NOSIGNAL));
    EXPECT_EQ("close\n", ReadN(fd, 6));
    char c;
    EXPECT_EQ(0, recv(fd, &c, 1, 0));
    EXPECT_TRUE(WaitFor([&] { return LineTunnel::s_disconnects == before + 1; }));
    close(fd);
}

TEST_F(RawServerTest, AnEmptyReplySendsNothingAndKeepsTheConnection)
{
    int before = LineTunnel::s_disconnects;
    int lines = LineTunnel::s_lines;
    int fd = Dial(server->LocalPort());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(6, send(fd, "quiet\n", 6, MSG_NOSIGNAL));
    EXPECT_TRUE(WaitFor([&] { return LineTunnel::s_lines >= lines + 1; }));
    ASSERT_EQ(5, send(fd, "next\n", 5, MSG_NOSIGNAL));
    EXPECT_EQ("next\n", ReadN(fd, 5)) << "nothing was sent for the empty reply and the socket stays open";
    EXPECT_EQ(before, LineTunnel::s_disconnects.load());
    close(fd);
}

TEST_F(RawServerTest, AReplyBufferGrownInPlaceIsSentWhole)
{
    server->Disconnect(nullptr);
    Ref<GrowInPlaceTunnel> tunnel;
    Ref<ServerRawTCP> direct;
    direct->SetLocalPort(FreePort());
    ASSERT_EQ(S_OK, direct->Connect(static_cast<ITunnel*>(tunnel.get())));
    int fd = Dial(direct->LocalPort());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, send(fd, "a", 1, MSG_NOSIGNAL));
    EXPECT_EQ(std::string(GrowInPlaceTunnel::kFirst, 'g'), ReadN(fd, GrowInPlaceTunnel::kFirst));
    ASSERT_EQ(1, send(fd, "b", 1, MSG_NOSIGNAL));
    EXPECT_EQ(std::string(GrowInPlaceTunnel::kLater, 'g'), ReadN(fd, GrowInPlaceTunnel::kLater));
    close(fd);
    direct->Disconnect(nullptr);
}

TEST_F(RawServerTest, SilentAndTricklingConnectionsAreClosedAtTheirDeadlines)
{
    server->Disconnect(nullptr);
    PoolLimits limits;
    limits.handshakeMs = 300;
    limits.frameMs = 400;
    limits.idleMs = 5000;
    server->SetPoolLimits(limits);
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));

    int silent = Dial(server->LocalPort());
    ASSERT_GE(silent, 0);
    int64_t start = NowMs();
    char c;
    EXPECT_EQ(0, recv(silent, &c, 1, 0));
    EXPECT_GE(NowMs() - start, 250) << "closed at the first bytes' deadline, not before";
    close(silent);

    // A line that never ends, one byte each 100 ms: closed at the deadline of
    // the message the tunnel has begun to take.
    int trickle = Dial(server->LocalPort());
    ASSERT_GE(trickle, 0);
    ASSERT_EQ(3, send(trickle, "ok\n", 3, MSG_NOSIGNAL));
    EXPECT_EQ("ok\n", ReadN(trickle, 3));
    start = NowMs();
    int64_t closedAfter = -1;
    for (int i = 0; i < 30 && closedAfter < 0; ++i) {
        send(trickle, "x", 1, MSG_NOSIGNAL);
        pollfd closed {trickle, POLLIN, 0};
        if (poll(&closed, 1, 100) > 0)
            closedAfter = NowMs() - start;
    }
    EXPECT_GE(closedAfter, 350);
    EXPECT_LT(closedAfter, 1500);
    close(trickle);
}

TEST_F(RawServerTest, RestartsOnTheSamePortAndMovesToANewOne)
{
    int fd = Dial(server->LocalPort());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(2, send(fd, "a\n", 2, MSG_NOSIGNAL));
    EXPECT_EQ("a\n", ReadN(fd, 2));
    close(fd);

    int port = server->LocalPort();
    server->Disconnect(nullptr);
    EXPECT_LT(Dial(port), 0);
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    fd = Dial(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(2, send(fd, "b\n", 2, MSG_NOSIGNAL));
    EXPECT_EQ("b\n", ReadN(fd, 2));
    close(fd);

    server->Disconnect(nullptr);
    factory->port = FreePort();
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    EXPECT_EQ(factory->port, server->LocalPort());
    EXPECT_LT(Dial(port), 0) << "the old port is closed";
    fd = Dial(server->LocalPort());
    EXPECT_GE(fd, 0);
    close(fd);
}

TEST_F(RawServerTest, APortInUseFailsConnectAndNamesItsHolder)
{
    EXPECT_EQ(static_cast<uint32_t>(getpid()), GetPidUsingPort(server->LocalPort()));
    Ref<ServerRawTCP> second;
    EXPECT_EQ(E_FAIL, second->Connect(static_cast<IClassFactory*>(factory.get())));
    // A port that is missing, zero or negative leaves the one set before.
    for (long given : {0L, -5L}) {
        Ref<LineFactory> source;
        source->port = given;
        Ref<ServerRawTCP> third;
        int port = FreePort();
        third->SetLocalPort(port);
        ASSERT_EQ(S_OK, third->Connect(static_cast<IClassFactory*>(source.get())));
        EXPECT_EQ(port, third->LocalPort());
        third->Disconnect(nullptr);
    }
}

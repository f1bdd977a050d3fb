// The framed server driven by a raw socket: handshakes, shared sessions,
// malformed and hostile input, the socket file's place and modes, a second
// instance, a stale socket, other users, the pool's bounds and the user switch.
#include "server.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "comsock_io.h"
#include "comsock_path.h"
#include "comsock_peer.h"
#include "comsock_test_util.h"

using namespace ZELK::PSESVC::COMSOCK;
using namespace ZELK::PSESVC::COMSOCK::test;

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get()))); }
    void TearDown() override { server->Disconnect(nullptr); }

    const char* Path() { return server->SocketPath(); }

    Ref<Factory> factory;
    Ref<ServerUNIX> server;
};

std::string Request(Raw& raw, const std::string& body)
{
    raw.SendFrame(body);
    std::string reply;
    EXPECT_TRUE(raw.ReadFrame(&reply));
    return reply;
}

// An object that answers no interface but IUnknown.
class Nothing : public IUnknown, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Nothing)
    ZELK_INTMAP_ENTRY_IID(IID_IUnknown, IUnknown)
    ZELK_END_INTMAP()
};

}  // namespace

TEST_F(ServerTest, SocketLivesInThePrivateFolderOfTheUser)
{
    std::string expected =
        std::string(getenv("XDG_RUNTIME_DIR")) + "/kestrin/org.kestrin.client." + std::to_string(getuid());
    EXPECT_EQ(expected, Path());
    struct stat folder {};
    ASSERT_EQ(0, lstat((std::string(getenv("XDG_RUNTIME_DIR")) + "/kestrin").c_str(), &folder));
    EXPECT_EQ(0700u, folder.st_mode & 0777);
    struct stat file {};
    ASSERT_EQ(0, lstat(Path(), &file));
    EXPECT_TRUE(S_ISSOCK(file.st_mode));
    EXPECT_EQ(0600u, file.st_mode & 0777);
    EXPECT_EQ(factory->source.load(), static_cast<IUnknown*>(static_cast<ITunnelSource*>(server.get())));
}

TEST_F(ServerTest, SessionsAreSharedByIdAndEndWithTheirProcess)
{
    {
        Raw first(Path());
        uint32_t id = first.Handshake(0);
        ASSERT_NE(0u, id);
        ASSERT_NE(0xFFFFFFFFu, id);
        EXPECT_EQ("s1:hello", Request(first, "hello"));
        Raw second(Path());
        EXPECT_EQ(id, second.Handshake(id));
        EXPECT_EQ("s1:again", Request(second, "again"));
        EXPECT_EQ(1, factory->made.load());
    }
    // Every served client is reported by its real process, connect and
    // disconnect in pairs.
    ASSERT_TRUE(WaitFor([&] { return factory->Count("disconnect") == 2; }));
    char name[32] = {};
    ASSERT_TRUE(ReadProcessName(static_cast<uint32_t>(getpid()), name, sizeof(name)));
    std::string who = std::string(name) + ":" + std::to_string(getpid());
    EXPECT_EQ(2, factory->Count("connect:" + who));
    EXPECT_EQ(2, factory->Count("disconnect:" + who));
    EXPECT_EQ(2, factory->Count("active:" + who));

    // A session outlives its sockets while its process runs, and ends with it.
    int ids[2];
    ASSERT_EQ(0, pipe(ids));
    std::string path = Path();
    int child = InChild([&] {
        Raw raw(path.c_str());
        uint32_t id = raw.Handshake(0);
        return write(ids[1], &id, sizeof(id)) == sizeof(id) ? 0 : 1;
    });
    ASSERT_EQ(0, child);
    uint32_t childId = 0;
    ASSERT_EQ(ssize_t(sizeof(childId)), read(ids[0], &childId, sizeof(childId)));
    close(ids[0]);
    close(ids[1]);
    ASSERT_NE(0u, childId);
    // The server learns of the child's end by itself: no handshake is needed.
    EXPECT_TRUE(WaitFor([&] { return server->SessionCount() == 1; }, 10000)) << "the session ends with its process";
    Raw late(path.c_str());
    EXPECT_EQ(0u, late.Handshake(childId));
    EXPECT_TRUE(late.Closed()) << "a refused handshake ends the connection";
}

TEST_F(ServerTest, ManySessionsOfOneProcessKeepDescriptorsAndHandshakeTimeFlat)
{
    auto descriptors = [] {
        size_t count = 0;
        DIR* folder = opendir("/proc/self/fd");
        while (folder && readdir(folder))
            ++count;
        if (folder)
            closedir(folder);
        return count;
    };
    // Microseconds per connect, handshake and close.
    auto cycles = [&](int count) {
        int64_t start = NowUs();
        for (int i = 0; i < count; ++i) {
            Raw raw(Path());
            EXPECT_NE(0u, raw.Handshake(0));
        }
        return (NowUs() - start) / count;
    };
    int64_t first = cycles(500);
    ASSERT_TRUE(WaitFor([&] { return server->SessionCount() <= kSessionsPerProcess; }));
    size_t before = descriptors();
    cycles(4000);
    int64_t last = cycles(500);
    EXPECT_TRUE(WaitFor([&] { return descriptors() <= before + 2; })) << descriptors() << " > " << before;
    EXPECT_LE(server->SessionCount(), kSessionsPerProcess);
    EXPECT_LT(last, 3 * first + 500) << "a handshake does not walk the sessions";

    // With every session of the process held, a new one is refused (once
    // the pool has let go of the closed connections).
    ASSERT_TRUE(WaitFor([&] { return server->PoolWaiting() == server->PoolThreads(); }));
    server->SetSessionLimits(SessionLimits {1, kSessionsInAll});
    Raw held(Path());
    ASSERT_NE(0u, held.Handshake(0));
    Raw refused(Path());
    EXPECT_EQ(0u, refused.Handshake(0));
    EXPECT_TRUE(refused.Closed());
}

TEST_F(ServerTest, MalformedInputEndsTheConnectionWithoutReply)
{
    struct Case {
        const char* name;
        bool handshakeFirst;
        std::string bytes;
        bool closeWrite;
    };
    const Case cases[] = {
        {"zero-length handshake", false, U32(0), false},
        {"zero-length request", true, U32(0), false},
        {"partial length header, then close", false, std::string("\x04\x00", 2), true},
        {"partial request header, then close", true, std::string("\x10", 1), true},
        {"body shorter than announced, then close", true, U32(100) + "short", true},
        {"announced length over the cap", true, U32(0xFFFFFFF0u), false},
        {"handshake of 3 bytes", false, U32(3) + "abc", false},
        {"handshake of 8 bytes", false, U32(8) + U32(0) + U32(0), false},
        {"handshake with an unknown session", false, U32(4) + U32(0x12345678u), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Raw raw(Path());
        if (c.handshakeFirst) {
            ASSERT_NE(0u, raw.Handshake(0));
        }
        raw.Send(c.bytes);
        if (c.closeWrite)
            shutdown(raw.fd, SHUT_WR);
        std::string reply;
        if (c.bytes == U32(4) + U32(0x12345678u)) {
            ASSERT_TRUE(raw.ReadFrame(&reply));
            EXPECT_EQ(U32(0), reply);
        }
        EXPECT_TRUE(raw.Closed());
    }
    Raw healthy(Path());
    ASSERT_NE(0u, healthy.Handshake(0));
    EXPECT_EQ("s" + std::to_string(factory->made.load()) + ":ok", Request(healthy, "ok"));
}

TEST_F(ServerTest, BodiesSplitAcrossManySendsAndLargeFramesArriveWhole)
{
    Raw raw(Path());
    ASSERT_NE(0u, raw.Handshake(0));
    std::string body(3000, 'x');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>('a' + i % 26);
    std::string frame = U32(static_cast<uint32_t>(body.size())) + body;
    for (size_t i = 0; i < frame.size(); i += 7) {
        raw.Send(frame.substr(i, 7));
        if (i % 700 == 0)
            usleep(1000);
    }
    std::string reply;
    ASSERT_TRUE(raw.ReadFrame(&reply));
    EXPECT_EQ("s1:" + body, reply);

    std::string large(3 * 1024 * 1024, 'L');
    std::thread writer([&] { raw.SendFrame(large); });
    ASSERT_TRUE(raw.ReadFrame(&reply));
    writer.join();
    EXPECT_EQ("s1:" + large, reply);
}

// Resident memory of this process in KiB.
long ResidentKb()
{
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "re");
    if (statm == nullptr)
        return -1;
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        resident = -1;
    fclose(statm);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST_F(ServerTest, LargeFramesDoNotStayResident)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in quarantine";
#endif
    constexpr int kClients = 8;
    const size_t large = kDefaultFrameLimit - 16;
    long before = ResidentKb();
    // The clients live in a child, so that only the service's memory counts
    // here; they stay connected while it is measured.
    int measured[2], done[2];
    ASSERT_EQ(0, pipe(measured));
    ASSERT_EQ(0, pipe(done));
    std::string path = Path();
    pid_t child = fork();
    if (child == 0) {
        std::vector<std::unique_ptr<Raw>> clients;
        std::vector<std::thread> threads;
        std::atomic<int> answered {0};
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<Raw>(path.c_str()));
            if (clients.back()->Handshake(0) == 0)
                _exit(2);
        }
        for (int i = 0; i < kClients; ++i)
            threads.emplace_back([&, i] {
                Raw& raw = *clients[i];
                std::thread writer([&] { raw.SendFrame(std::string(large, 'm')); });
                std::string reply;
                answered += raw.ReadFrame(&reply) && reply.size() > large;
                writer.join();
            });
        for (auto& thread : threads)
            thread.join();
        char c = answered == kClients ? 'y' : 'n';
        if (write(measured[1], &c, 1) != 1 || read(done[0], &c, 1) != 1)
            _exit(3);
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(1, read(measured[0], &answer, 1));
    EXPECT_EQ('y', answer);
    long after = ResidentKb();
    EXPECT_TRUE(WaitFor([&] { return (after = ResidentKb()) < before + 32 * 1024; }))
        << "resident " << after << " KiB after " << kClients << " frames of 16 MiB, " << before << " KiB before";
    ASSERT_EQ(1, write(done[1], "x", 1));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    for (int fd : {measured[0], measured[1], done[0], done[1]})
        close(fd);
}

TEST_F(ServerTest, FrameLimitIsConfigurable)
{
    SetFrameLimit(64);
    Raw raw(Path());
    ASSERT_NE(0u, raw.Handshake(0));
    EXPECT_EQ("s1:" + std::string(60, 'a'), Request(raw, std::string(60, 'a')));
    raw.SendFrame(std::string(65, 'b'));
    EXPECT_TRUE(raw.Closed());
    SetFrameLimit(0);
    EXPECT_EQ(kDefaultFrameLimit, GetFrameLimit());
}

TEST_F(ServerTest, AnEmptyTunnelReplyClosesTheConnection)
{
    CComObject<EchoTunnel>* tunnel = nullptr;
    CComObject<EchoTunnel>::CreateInstance(&tunnel);
    tunnel->AddRef();
    tunnel->emptyReply = true;
    Ref<ServerUNIX> direct;
    server->Disconnect(nullptr);
    ASSERT_EQ(S_OK, direct->Connect(static_cast<ITunnel*>(tunnel)));
    {
        Raw raw(direct->SocketPath());
        ASSERT_NE(0u, raw.Handshake(0));
        raw.SendFrame("anything");
        EXPECT_TRUE(raw.Closed());
    }
    EXPECT_EQ(1, tunnel->calls.load());
    direct->Disconnect(nullptr);
    tunnel->Release();
}

TEST_F(ServerTest, AReplyBufferGrownInPlaceIsSentWhole)
{
    Ref<GrowInPlaceTunnel> tunnel;
    Ref<ServerUNIX> direct;
    server->Disconnect(nullptr);
    ASSERT_EQ(S_OK, direct->Connect(static_cast<ITunnel*>(tunnel.get())));
    Raw raw(direct->SocketPath());
    ASSERT_NE(0u, raw.Handshake(0));
    EXPECT_EQ(std::string(GrowInPlaceTunnel::kFirst, 'g'), Request(raw, "first"));
    EXPECT_EQ(std::string(GrowInPlaceTunnel::kLater, 'g'), Request(raw, "grow"));
    EXPECT_EQ(std::string(GrowInPlaceTunnel::kLater, 'g'), Request(raw, "again"));
    direct->Disconnect(nullptr);
}

// Deadlines shortened; the idle time-out between frames stays long.
class DeadlineTest : public ServerTest {
protected:
    void SetUp() override
    {
        PoolLimits limits;
        limits.handshakeMs = 300;
        limits.frameMs = 400;
        limits.idleMs = 5000;
        server->SetPoolLimits(limits);
        ServerTest::SetUp();
    }
};

// Sends `bytes` one at a time, `pauseMs` apart, until the service closes the
// socket; the milliseconds from the first byte to the close, or -1 when all
// were sent and the socket stayed open.
int64_t TrickleUntilClosed(Raw& raw, const std::string& bytes, int pauseMs)
{
    int64_t start = NowMs();
    for (char byte : bytes) {
        if (send(raw.fd, &byte, 1, MSG_NOSIGNAL) != 1)
            return NowMs() - start;
        pollfd closed {raw.fd, POLLIN, 0};
        if (poll(&closed, 1, pauseMs) > 0)
            return raw.Closed() ? NowMs() - start : -1;
    }
    return -1;
}

TEST_F(DeadlineTest, SilentAndTricklingConnectionsAreClosedAtTheirDeadlines)
{
    {
        Raw silent(Path());
        int64_t start = NowMs();
        EXPECT_TRUE(silent.Closed());
        EXPECT_GE(NowMs() - start, 250) << "closed at the handshake deadline, not before";
    }
    {
        Raw slow(Path());
        int64_t closedAfter = TrickleUntilClosed(slow, U32(4) + U32(0), 100);
        EXPECT_GE(closedAfter, 200) << "a handshake trickled past its deadline";
        EXPECT_LT(closedAfter, 700);
    }
    {
        // Each byte comes well within the idle time-out, but the frame misses
        // its deadline.
        Raw trickle(Path());
        ASSERT_NE(0u, trickle.Handshake(0));
        int64_t closedAfter = TrickleUntilClosed(trickle, U32(40) + std::string(40, 'x'), 100);
        EXPECT_GE(closedAfter, 350);
        EXPECT_LT(closedAfter, 1500);
    }
    // Between frames only the idle time-out counts.
    Raw patient(Path());
    ASSERT_NE(0u, patient.Handshake(0));
    EXPECT_EQ("s" + std::to_string(factory->made.load()) + ":one", Request(patient, "one"));
    usleep(600 * 1000);
    EXPECT_EQ("s" + std::to_string(factory->made.load()) + ":two", Request(patient, "two"));
}

TEST_F(ServerTest, ABurstOfConnectsIsQueuedNotRefused)
{
    std::vector<int> burst;
    sockaddr_storage address {};
    socklen_t length = UnixAddress(Path(), &address);
    int refused = 0;
    for (int i = 0; i < 500; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
            ++refused;
        burst.push_back(fd);
    }
    EXPECT_EQ(0, refused);
    for (int fd : burst)
        close(fd);
    Raw raw(Path());
    ASSERT_NE(0u, raw.Handshake(0));
    EXPECT_EQ("s1:after", Request(raw, "after"));
}

TEST_F(ServerTest, ASecondInstanceDoesNotStealTheSocket)
{
    struct stat before {};
    ASSERT_EQ(0, lstat(Path(), &before));
    Ref<Factory> otherFactory;
    Ref<ServerUNIX> second;
    EXPECT_EQ(E_FAIL, second->Connect(static_cast<IClassFactory*>(otherFactory.get())));
    struct stat after {};
    ASSERT_EQ(0, lstat(Path(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    Raw raw(Path());
    ASSERT_NE(0u, raw.Handshake(0));
    EXPECT_EQ("s1:mine", Request(raw, "mine"));
    EXPECT_EQ(0, otherFactory->made.load());
}

TEST_F(ServerTest, AStaleSocketIsReplacedAndDisconnectRemovesTheFile)
{
    server->Disconnect(nullptr);
    struct stat gone {};
    EXPECT_NE(0, lstat(Path(), &gone));
    EXPECT_FALSE(Raw(Path()).connected);

    // A socket file without a listener, as a crashed service leaves it.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, Path(), sizeof(address.sun_path));
    ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    close(stale);

    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    Raw raw(Path());
    ASSERT_NE(0u, raw.Handshake(0));
    EXPECT_EQ("s1:back", Request(raw, "back"));
}

TEST_F(ServerTest, ConnectRefusesASourceThatIsNeitherTunnelNorFactory)
{
    Ref<ServerUNIX> other;
    Ref<Nothing> nothing;
    EXPECT_EQ(E_INVALIDARG, other->Connect(nothing.get()));
}

TEST_F(ServerTest, AnotherUserIsRefused)
{
    passwd* nobody = getpwnam("nobody");
    if (getuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    std::string path = Path();
    // The private folder keeps the other user out.
    EXPECT_EQ(0, InChild([&] {
                  if (DropTo(nobody->pw_uid, nobody->pw_gid))
                      return 2;
                  Raw raw(path.c_str());
                  return raw.connected ? 3 : 0;
              }));
    // With the folder and the file opened up, the server itself refuses the
    // peer it sees through its credentials.
    std::string folder = path.substr(0, path.rfind('/'));
    std::string runtime = getenv("XDG_RUNTIME_DIR");
    ASSERT_EQ(0, chmod(runtime.c_str(), 0711));
    ASSERT_EQ(0, chmod(folder.c_str(), 0777));
    ASSERT_EQ(0, chmod(path.c_str(), 0666));
    int result = InChild([&] {
        if (DropTo(nobody->pw_uid, nobody->pw_gid))
            return 2;
        Raw raw(path.c_str());
        if (!raw.connected)
            return 3;
        // The service may already have closed it: the send may fail.
        std::string handshake = U32(4) + U32(0);
        send(raw.fd, handshake.data(), handshake.size(), MSG_NOSIGNAL);
        return raw.Closed() ? 0 : 4;
    });
    chmod(runtime.c_str(), 0700);
    chmod(folder.c_str(), 0700);
    chmod(path.c_str(), 0600);
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, factory->made.load());
}

TEST_F(ServerTest, ThePoolIsBoundedAndTheIdlestConnectionMakesRoom)
{
    server->Disconnect(nullptr);
    PoolLimits limits;
    limits.minWaiting = 1;
    limits.maxWaiting = 2;
    limits.maxThreads = 3;
    server->SetPoolLimits(limits);
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));

    Raw a(Path()), b(Path()), c(Path());
    // A thread marks its connection idle only after its handshake reply has
    // gone out: the pauses keep the idle order that of the handshakes.
    ASSERT_NE(0u, a.Handshake(0));
    usleep(50 * 1000);
    ASSERT_NE(0u, b.Handshake(0));
    usleep(50 * 1000);
    ASSERT_NE(0u, c.Handshake(0));
    // a has waited longest, but is inside a message; b is next.
    a.Send(U32(10) + "01234");
    usleep(100 * 1000);
    // A fourth client gets b's thread at once.
    Raw d(Path());
    EXPECT_NE(0u, d.Handshake(0));
    EXPECT_TRUE(b.Closed());
    EXPECT_LE(server->PoolThreads(), 3u);
    a.Send("56789");
    std::string reply;
    ASSERT_TRUE(a.ReadFrame(&reply));
    EXPECT_EQ(":0123456789", reply.substr(reply.find(':')));
    reply = Request(c, "still");
    EXPECT_EQ(":still", reply.substr(reply.find(':')));
}

TEST_F(ServerTest, SilentConnectionsNeverStarveALiveClient)
{
    Ref<ClientUNIX> first;
    ASSERT_EQ(":before", Exchange(first.get(), "before").substr(2));
    for (int count : {64, 200}) {
        SCOPED_TRACE(count);
        std::vector<std::unique_ptr<Raw>> silent;
        for (int i = 0; i < count; ++i)
            silent.push_back(std::make_unique<Raw>(Path()));
        Ref<ClientUNIX> client;
        int64_t start = NowMs();
        std::string reply = Exchange(client.get(), "live");
        EXPECT_LT(NowMs() - start, 1000);
        EXPECT_EQ(":live", reply.substr(reply.find(':')));
        EXPECT_LE(server->PoolThreads(), PoolLimits().maxThreads);
        // The first client's socket, idle longest, made room; its next
        // exchange connects again into its session.
        reply = Exchange(first.get(), "again");
        EXPECT_EQ(":again", reply.substr(reply.find(':')));
    }
    EXPECT_FALSE(first->IsDead());
}

TEST_F(ServerTest, ASessionClosedForIdlenessWaitsForItsProcess)
{
    server->Disconnect(nullptr);
    PoolLimits limits;
    limits.idleMs = 300;
    server->SetPoolLimits(limits);
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    uint32_t id = 0;
    {
        Raw raw(Path());
        id = raw.Handshake(0);
        ASSERT_NE(0u, id);
        EXPECT_TRUE(raw.Closed());
    }
    Raw again(Path());
    EXPECT_EQ(id, again.Handshake(id));
    EXPECT_EQ("s1:still", Request(again, "still"));
}

// Clock ticks of CPU time that process `pid` has used.
long CpuTicks(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE* file = fopen(path, "re");
    if (file == nullptr)
        return -1;
    char line[1024] = {};
    bool read = fgets(line, sizeof(line), file) != nullptr;
    fclose(file);
    const char* rest = read ? strrchr(line, ')') : nullptr;
    long user = 0, system = 0;
    // After the name: state and eleven fields, then user and system time.
    if (rest == nullptr || sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &system) != 2)
        return -1;
    return user + system;
}

TEST(ServerDescriptors, OutOfDescriptorsTheServiceBacksOffAndKeepsServing)
{
    char runtime[] = "/tmp/comsock-fds-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(runtime));
    int toChild[2], toParent[2];
    ASSERT_EQ(0, pipe(toChild));
    ASSERT_EQ(0, pipe(toParent));
    auto say = [](int fd) { return write(fd, "x", 1) == 1; };
    auto hear = [](int fd) {
        char c;
        return read(fd, &c, 1) == 1;
    };
    pid_t child = fork();
    if (child == 0) {
        rlimit limit {256, 256};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(2);
        setenv("XDG_RUNTIME_DIR", runtime, 1);
        Ref<Factory> factory;
        Ref<ServerUNIX> server;
        if (server->Connect(static_cast<IClassFactory*>(factory.get())) != S_OK || !say(toParent[1]))
            _exit(3);
        // Every descriptor taken, as other parts of the service might take them.
        std::vector<int> taken;
        if (!hear(toChild[0]))
            _exit(4);
        // Twice: a descriptor the service's threads held for a moment during
        // the first pass is free again after it.
        for (int pass = 0; pass < 2; ++pass) {
            for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0;
                 fd = open("/dev/null", O_RDONLY | O_CLOEXEC))
                taken.push_back(fd);
            usleep(pass == 0 ? 300 * 1000 : 0);
        }
        if (!say(toParent[1]) || !hear(toChild[0]))
            _exit(5);
        for (int fd : taken)
            close(fd);
        if (!say(toParent[1]) || !hear(toChild[0]))
            _exit(6);
        server->Disconnect(nullptr);
        _exit(0);
    }
    ASSERT_TRUE(hear(toParent[0]));
    std::string path = std::string(runtime) + "/kestrin/org.kestrin.client." + std::to_string(getuid());
    Raw a(path.c_str()), b(path.c_str());
    ASSERT_NE(0u, a.Handshake(0));
    ASSERT_NE(0u, b.Handshake(0));
    // Every kind of call once while descriptors are left: the sanitizer build
    // checks an object's type through a pipe the first time it is called.
    EXPECT_EQ(":first", Request(a, "first").substr(2));
    EXPECT_EQ(":first", Request(b, "first").substr(2));

    ASSERT_TRUE(say(toChild[1]));
    ASSERT_TRUE(hear(toParent[0]));
    Raw late(path.c_str());
    late.SendFrame(U32(0));
    long before = CpuTicks(child);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(":a" + std::to_string(i), Request(a, "a" + std::to_string(i)).substr(2));
        EXPECT_EQ(":b" + std::to_string(i), Request(b, "b" + std::to_string(i)).substr(2));
        usleep(100 * 1000);
    }
    long used = CpuTicks(child) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "the pool waits; it does not spin";
    pollfd answer {late.fd, POLLIN, 0};
    EXPECT_EQ(0, poll(&answer, 1, 0)) << "no descriptor for the new client yet";

    ASSERT_TRUE(say(toChild[1]));
    ASSERT_TRUE(hear(toParent[0]));
    std::string reply;
    ASSERT_TRUE(late.ReadFrame(&reply)) << "accepted once descriptors are free again";
    EXPECT_EQ(4u, reply.size());
    EXPECT_NE(U32(0), reply);

    ASSERT_TRUE(say(toChild[1]));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
    EXPECT_EQ(0, system((std::string("rm -rf ") + runtime).c_str()));
}

TEST(ServerUserSwitch, SwitchesFileGroupsAndUserOrRefusesCleanly)
{
    passwd* nobody = getpwnam("nobody");
    if (getuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    uid_t uid = nobody->pw_uid;
    gid_t gid = nobody->pw_gid;

    // Not root: refused.
    EXPECT_EQ(0, InChild([&] {
                  if (DropTo(uid, gid))
                      return 2;
                  Ref<ServerUNIX> server;
                  return server->UserSwitch("root") == -1 ? 0 : 3;
              }));
    // An unknown user: refused, nothing changed.
    EXPECT_EQ(0, InChild([&] {
                  Ref<ServerUNIX> server;
                  return server->UserSwitch("no-such-user-kestrin") == -1 && getuid() == 0 ? 0 : 3;
              }));
    // The user's runtime folder, where the switched socket goes.
    char runtime[] = "/tmp/comsock-switch-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(runtime));
    ASSERT_EQ(0, chown(runtime, uid, gid));
    std::string path = std::string(runtime) + "/kestrin/org.kestrin.client." + std::to_string(uid);

    // The user's own service already listens there: the switch is refused
    // and the running service keeps its socket.
    ASSERT_EQ(0, mkdir((std::string(runtime) + "/kestrin").c_str(), 0700));
    ASSERT_EQ(0, chown((std::string(runtime) + "/kestrin").c_str(), uid, gid));
    int running = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(0, bind(running, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(running, 5));
    struct stat before {};
    ASSERT_EQ(0, lstat(path.c_str(), &before));
    EXPECT_EQ(0, InChild([&] {
                  Ref<Factory> factory;
                  Ref<ServerUNIX> server;
                  if (server->Connect(static_cast<IClassFactory*>(factory.get())) != S_OK)
                      return 3;
                  setenv("XDG_RUNTIME_DIR", runtime, 1);
                  return server->UserSwitch("nobody") == -1 && getuid() == 0 ? 0 : 4;
              }));
    struct stat after {};
    ASSERT_EQ(0, lstat(path.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    close(running);

    // The switch, over the stale file the stopped service left: socket moved
    // to the user's folder and owned by the user, groups dropped, no way back
    // to root, and the user's own client, which accepts no service of another
    // user, is served.
    int result = InChild([&] {
        SetApplicationPath("/nonexistent/KestrinClient");
        Ref<Factory> factory;
        Ref<ServerUNIX> server;
        if (server->Connect(static_cast<IClassFactory*>(factory.get())) != S_OK)
            return 3;
        // The user's runtime folder, as a service started for that user
        // finds it in its environment.
        setenv("XDG_RUNTIME_DIR", runtime, 1);
        if (server->UserSwitch("nobody") != S_OK)
            return 4;
        if (getuid() != uid || geteuid() != uid || getgid() != gid || setuid(0) == 0)
            return 5;
        gid_t groups[64];
        int count = getgroups(64, groups);
        for (int i = 0; i < count; ++i)
            if (groups[i] == 0)
                return 6;
        if (path != server->SocketPath())
            return 7;
        struct stat file {};
        if (lstat(path.c_str(), &file) != 0 || file.st_uid != uid || (file.st_mode & 0777) != 0600)
            return 8;
        Ref<ClientUNIX> client;
        if (path != client->SocketPath())
            return 9;
        bool served = Exchange(client.get(), "hi") == "s1:hi";
        server->Disconnect(nullptr);
        return served ? 0 : 10;
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, system((std::string("rm -rf ") + runtime).c_str()));
}

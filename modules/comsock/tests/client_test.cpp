// The socket client against the framed server (and against a scripted
// fake service where the server cannot misbehave on purpose): buffers,
// shared sessions across many threads, a lost session, handshakes that fail
// in transit, the start of the application, and sockets of ended threads.
#include "client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "comsock_test_util.h"
#include "server.h"

using namespace ZELK::PSESVC::COMSOCK;
using namespace ZELK::PSESVC::COMSOCK::test;

namespace {

struct Buffer {
    unsigned char* data = nullptr;
    unsigned long capacity = 0;
    ~Buffer() { sec_free(data); }
    std::string Text(unsigned long length) const { return std::string(reinterpret_cast<char*>(data), length); }
};

HRESULT Call(Client* client, const std::string& request, Buffer& buffer, std::string* reply)
{
    unsigned long length = buffer.capacity;
    HRESULT hr = client->Transact(reinterpret_cast<unsigned char*>(const_cast<char*>(request.data())), request.size(),
                                  &buffer.data, &length);
    if (hr == S_OK) {
        *reply = buffer.Text(length);
        if (length > buffer.capacity)
            buffer.capacity = length;
    }
    return hr;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetApplicationPath("/nonexistent/KestrinClient");
        ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    }
    void TearDown() override
    {
        server->Disconnect(nullptr);
        SetApplicationPath(nullptr);
    }

    Ref<Factory> factory;
    Ref<ServerUNIX> server;
};

// A fake service on the socket path: each accepted socket is answered by
// `script`, one after another.
class FakeService {
public:
    FakeService(const char* path, std::function<void(Raw&, int)> script) : m_script(std::move(script))
    {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
        unlink(path);
        std::string folder(path);
        mkdir(folder.substr(0, folder.rfind('/')).c_str(), 0700);
        EXPECT_EQ(0, bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        listen(m_fd, 5);
        m_path = path;
        m_thread = std::thread([this] {
            for (int n = 0;; ++n) {
                int fd = accept(m_fd, nullptr, nullptr);
                if (fd < 0)
                    return;
                Raw peer(fd);
                m_script(peer, n);
            }
        });
    }
    ~FakeService()
    {
        shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        close(m_fd);
        unlink(m_path.c_str());
    }

private:
    int m_fd;
    std::string m_path;
    std::function<void(Raw&, int)> m_script;
    std::thread m_thread;
};

}  // namespace

TEST_F(ClientTest, BuffersAreMadeGrownAndKept)
{
    Ref<ClientUNIX> client;
    Buffer buffer;
    std::string reply;
    ASSERT_EQ(S_OK, Call(client.get(), "hi", buffer, &reply));
    EXPECT_EQ("s1:hi", reply);
    ASSERT_NE(nullptr, buffer.data);
    buffer.capacity = 512;
    unsigned char* kept = buffer.data;
    ASSERT_EQ(S_OK, Call(client.get(), "short", buffer, &reply));
    EXPECT_EQ(kept, buffer.data) << "a reply that fits stays in the caller's buffer";
    std::string big(2000, 'z');
    ASSERT_EQ(S_OK, Call(client.get(), big, buffer, &reply));
    EXPECT_EQ("s1:" + big, reply);
    EXPECT_NE(0u, client->SessionId());

    char* type = nullptr;
    ASSERT_EQ(S_OK, client->GetType(&type));
    EXPECT_EQ(std::string("to UNIX socket\r\n") + server->SocketPath() + "\r\n", type);
    sec_free(type);
    EXPECT_EQ(-1, client->GetType(nullptr));
}

TEST_F(ClientTest, ManyThreadsOfOneObjectShareOneSession)
{
    Ref<ClientUNIX> client;
    constexpr int kThreads = 16;
    constexpr int kCalls = 40;
    std::atomic<int> wrong {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Buffer buffer;
            for (int i = 0; i < kCalls; ++i) {
                std::string request = "t" + std::to_string(t) + "-" + std::to_string(i) + std::string(t * 100, 'p');
                std::string reply;
                HRESULT hr = Call(client.get(), request, buffer, &reply);
                if ((hr != S_OK || reply != "s1:" + request) && wrong++ < 3)
                    fprintf(stderr, "t%d i%d hr %x reply %.20s\n", t, i, hr, reply.c_str());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(1, factory->made.load()) << "one session for the object";
    // Each thread that ended closed its socket: the service saw every one go.
    EXPECT_TRUE(WaitFor([&] { return factory->Count("disconnect") == kThreads; }));
    EXPECT_EQ(kThreads, factory->Count("connect")) << ::testing::PrintToString(factory->Notes().size());
}

TEST_F(ClientTest, ALostSessionMakesTheObjectDeadAndAFailedExchangeIsBroken)
{
    Ref<ClientUNIX> client;
    Buffer buffer;
    std::string reply;
    ASSERT_EQ(S_OK, Call(client.get(), "one", buffer, &reply));

    // An empty request is refused by the service: the tunnel breaks, but the
    // object reconnects with its session on the next call.
    EXPECT_EQ(E_BROKEN_PIPE, Call(client.get(), "", buffer, &reply));
    ASSERT_EQ(S_OK, Call(client.get(), "two", buffer, &reply));
    EXPECT_EQ("s1:two", reply);
    SetFrameLimit(16);
    EXPECT_EQ(E_INVALIDARG, Call(client.get(), std::string(17, 'x'), buffer, &reply));
    SetFrameLimit(0);

    // The service restarts and forgets every session.
    server->Disconnect(nullptr);
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));
    EXPECT_EQ(-1, Call(client.get(), "three", buffer, &reply));
    EXPECT_TRUE(client->IsDead());
    int made = factory->made.load();
    EXPECT_EQ(-1, Call(client.get(), "four", buffer, &reply));
    EXPECT_EQ(made, factory->made.load());
}

TEST(ClientHandshake, OnlyACompleteAnswerOfZeroMakesTheObjectDead)
{
    SetApplicationPath("/nonexistent/KestrinClient");
    Ref<ClientUNIX> client;
    std::string path = client->SocketPath();
    std::atomic<uint32_t> session {0x1234};
    {
        // 1st socket: a session; 2nd: the answer cut short; 3rd: a reply
        // length of 8; 4th: another session's id; 5th: 0.
        FakeService service(path.c_str(), [&](Raw& peer, int n) {
            uint32_t frame[2];
            if (!peer.ReadExact(frame, 8))
                return;
            if (n == 0) {
                peer.Send(U32(4) + U32(session));
                std::string request;
                while (peer.ReadFrame(&request))
                    peer.SendFrame("r:" + request);
            } else if (n == 1) {
                peer.Send(U32(4) + std::string("\x34\x12", 2));
            } else if (n == 2) {
                peer.Send(U32(8) + U32(session) + U32(0));
            } else if (n == 3) {
                peer.Send(U32(4) + U32(0x9999));
            } else {
                peer.Send(U32(4) + U32(0));
            }
        });
        Buffer buffer;
        std::string reply;
        ASSERT_EQ(S_OK, Call(client.get(), "a", buffer, &reply));
        EXPECT_EQ("r:a", reply);
        EXPECT_EQ(0x1234u, client->SessionId());
        for (int attempt = 1; attempt <= 3; ++attempt) {
            client->Disconnect();
            EXPECT_EQ(-1, Call(client.get(), "b", buffer, &reply)) << attempt;
            EXPECT_FALSE(client->IsDead()) << attempt;
        }
        client->Disconnect();
        EXPECT_EQ(-1, Call(client.get(), "c", buffer, &reply));
        EXPECT_TRUE(client->IsDead());
    }
    SetApplicationPath(nullptr);
}

TEST(ClientHandshake, AReplyAnnouncedOverTheCapBreaksTheExchange)
{
    SetApplicationPath("/nonexistent/KestrinClient");
    Ref<ClientUNIX> client;
    std::atomic<bool> clientLeft {false};
    {
        // The service announces a huge reply, sends a little of it and waits:
        // the client gives up at once instead of waiting for the rest.
        FakeService service(client->SocketPath(), [&](Raw& peer, int) {
            uint32_t frame[2];
            std::string request;
            if (peer.ReadExact(frame, 8)) {
                peer.Send(U32(4) + U32(0x77));
                if (peer.ReadFrame(&request)) {
                    peer.Send(U32(0xFFFFFFF0u) + "never this much");
                    pollfd gone {peer.fd, POLLIN, 0};
                    clientLeft = poll(&gone, 1, 2000) == 1;
                }
            }
        });
        Buffer buffer;
        std::string reply;
        EXPECT_EQ(E_BROKEN_PIPE, Call(client.get(), "a", buffer, &reply));
        EXPECT_FALSE(client->IsDead());
    }
    EXPECT_TRUE(clientLeft.load());
    SetApplicationPath(nullptr);
}

TEST(ClientStart, TheApplicationIsStartedOncePerObjectAndTheClientRetries)
{
    char folder[] = "/tmp/comsock-app-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    std::string script = std::string(folder) + "/KestrinClient";
    std::string log = std::string(folder) + "/started";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\necho started >> '" << log << "'\n";
    }
    chmod(script.c_str(), 0755);
    SetApplicationPath(script.c_str());
    auto starts = [&] {
        std::ifstream in(log);
        int lines = 0;
        for (std::string line; std::getline(in, line);)
            ++lines;
        return lines;
    };

    Buffer buffer;
    std::string reply;
    {
        Ref<ClientUNIX> first;
        EXPECT_EQ(-1, Call(first.get(), "x", buffer, &reply));
        EXPECT_TRUE(WaitFor([&] { return starts() == 1; }));
        EXPECT_EQ(-1, Call(first.get(), "x", buffer, &reply));
        usleep(100000);
        EXPECT_EQ(1, starts()) << "once per object";
    }
    // A second object starts it again; the service appears while it retries.
    Ref<Factory> factory;
    Ref<ServerUNIX> server;
    std::thread service([&] {
        if (WaitFor([&] { return starts() == 2; }))
            server->Connect(static_cast<IClassFactory*>(factory.get()));
    });
    Ref<ClientUNIX> second;
    HRESULT hr = Call(second.get(), "y", buffer, &reply);
    service.join();
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ("s1:y", reply);
    server->Disconnect(nullptr);
    SetApplicationPath(nullptr);
    EXPECT_EQ(0, system((std::string("rm -rf ") + folder).c_str()));
}

TEST(ClientPeer, AServiceOfAnotherUserIsRefusedEvenRoot)
{
    passwd* nobody = getpwnam("nobody");
    if (getuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    // The user's own folder, where a service run by root listens and would
    // answer every handshake.
    char runtime[] = "/tmp/comsock-peer-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(runtime));
    ASSERT_EQ(0, chown(runtime, nobody->pw_uid, nobody->pw_gid));
    std::string folder = std::string(runtime) + "/kestrin";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    ASSERT_EQ(0, chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid));
    std::string path = folder + "/org.kestrin.client." + std::to_string(nobody->pw_uid);
    std::atomic<int> handshakes {0};
    {
        FakeService service(path.c_str(), [&](Raw& peer, int) {
            uint32_t frame[2];
            if (peer.ReadExact(frame, 8)) {
                ++handshakes;
                peer.Send(U32(4) + U32(0x1234));
            }
        });
        ASSERT_EQ(0, chown(path.c_str(), nobody->pw_uid, nobody->pw_gid));
        EXPECT_EQ(0, InChild([&] {
                      SetApplicationPath("/nonexistent/KestrinClient");
                      if (DropTo(nobody->pw_uid, nobody->pw_gid))
                          return 2;
                      setenv("XDG_RUNTIME_DIR", runtime, 1);
                      Ref<ClientUNIX> client;
                      if (path != client->SocketPath())
                          return 3;
                      Buffer buffer;
                      std::string reply;
                      return Call(client.get(), "x", buffer, &reply) == -1 ? 0 : 4;
                  }));
    }
    EXPECT_EQ(0, handshakes.load()) << "refused before the handshake";
    EXPECT_EQ(0, system((std::string("rm -rf ") + runtime).c_str()));
}

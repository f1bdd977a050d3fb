// Request/reply round trips per second through the framed socket server and
// client, beside a bare Unix-domain ping-pong of the same frames in the same
// run; frames of 64 B and 16 KiB. Then many clients at once: 64 client
// threads, each with its own client object, against the service, beside a
// bare Unix-socket echo server of the same thread-per-connection pattern;
// throughput and median and 99th-percentile latency, and their ratios.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "comsock_io.h"
#include "comsock_path.h"
#include "server.h"
#include "zelk_alloc.h"
#include "zelk_module.h"

using namespace ZELK::PSESVC::COMSOCK;

namespace {

// Answers every request with a reply of the same size.
class Mirror : public ITunnel, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Mirror)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_END_INTMAP()

    HRESULT Transact(unsigned char*, unsigned long inLength, unsigned char**, unsigned long* outLength) override
    {
        *outLength = inLength;
        return 0;
    }
    HRESULT Disconnect() override { return 0; }
};

struct Environment {
    Environment()
    {
        // Socket and (empty) policy folders of the run's own.
        char folder[] = "/tmp/comsock-bench-XXXXXX";
        if (mkdtemp(folder)) {
            setenv("XDG_RUNTIME_DIR", folder, 1);
            setenv("XDG_CONFIG_HOME", (std::string(folder) + "/config").c_str(), 1);
            setenv("XDG_CONFIG_DIRS", (std::string(folder) + "/xdg").c_str(), 1);
        }
        m_folder = folder;
        ok = ZELK_Initialize() == S_OK;
    }
    ~Environment()
    {
        if (ok)
            ZELK_Finalize();
        std::string command = "rm -rf '" + m_folder + "'";
        if (system(command.c_str()) != 0)
            return;
    }
    bool ok = false;
    std::string m_folder;
};

Environment& Env()
{
    static Environment environment;
    return environment;
}

void BM_ServerAndClient(benchmark::State& state)
{
    if (!Env().ok) {
        state.SkipWithError("runtime not started");
        return;
    }
    CComObject<Mirror>* mirror = nullptr;
    CComObject<Mirror>::CreateInstance(&mirror);
    mirror->AddRef();
    CComObject<ServerUNIX>* server = nullptr;
    CComObject<ServerUNIX>::CreateInstance(&server);
    server->AddRef();
    CComObject<ClientUNIX>* client = nullptr;
    CComObject<ClientUNIX>::CreateInstance(&client);
    client->AddRef();
    if (server->Connect(static_cast<ITunnel*>(mirror)) != S_OK) {
        state.SkipWithError("server did not start");
    } else {
        std::string request(static_cast<size_t>(state.range(0)), 'q');
        unsigned char* buffer = nullptr;
        for (auto _ : state) {
            unsigned long length = buffer ? request.size() : 0;
            if (client->Transact(reinterpret_cast<unsigned char*>(request.data()), request.size(), &buffer, &length)
                != S_OK) {
                state.SkipWithError("exchange failed");
                break;
            }
        }
        sec_free(buffer);
        state.SetItemsProcessed(state.iterations());
    }
    client->Release();
    server->Disconnect(nullptr);
    server->Release();
    mirror->Release();
}

// The same frames over a socket pair with a thread that mirrors them: the
// cost of the socket itself.
void BM_BareUnixPingPong(benchmark::State& state)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    std::thread mirror([fd = pair[1]] {
        std::string body;
        for (;;) {
            uint32_t length = 0;
            if (ReadExact(fd, &length, sizeof(length)) != S_OK)
                return;
            body.resize(length);
            if (ReadExact(fd, body.data(), length) != S_OK)
                return;
            if (WriteExact2(fd, &length, sizeof(length), body.data(), length) != S_OK)
                return;
        }
    });
    std::string request(static_cast<size_t>(state.range(0)), 'q');
    std::string reply(request.size(), 0);
    for (auto _ : state) {
        uint32_t length = static_cast<uint32_t>(request.size());
        WriteExact2(pair[0], &length, sizeof(length), request.data(), request.size());
        ReadExact(pair[0], &length, sizeof(length));
        ReadExact(pair[0], reply.data(), length);
    }
    state.SetItemsProcessed(state.iterations());
    shutdown(pair[0], SHUT_RDWR);
    mirror.join();
    close(pair[0]);
    close(pair[1]);
}

// ---- many clients ----------------------------------------------------------

constexpr int kClients = 64;
constexpr int kRoundTrips = 500;

// The bare echo server: an accept thread and one thread per connection that
// sends every frame back, written against the socket calls alone.
extern "C" void* BareEchoConnection(void* argument)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(argument));
    char* body = static_cast<char*>(malloc(1 << 20));
    for (;;) {
        uint32_t length = 0;
        if (ReadExact(fd, &length, sizeof(length)) != S_OK || length > (1u << 20))
            break;
        if (ReadExact(fd, body, length) != S_OK)
            break;
        if (WriteExact2(fd, &length, sizeof(length), body, length) != S_OK)
            break;
    }
    free(body);
    close(fd);
    return nullptr;
}

extern "C" void* BareEchoAccept(void* argument)
{
    int listener = static_cast<int>(reinterpret_cast<intptr_t>(argument));
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            break;
        pthread_t thread;
        if (pthread_create(&thread, nullptr, BareEchoConnection, reinterpret_cast<void*>(static_cast<intptr_t>(fd)))
            != 0) {
            close(fd);
            continue;
        }
        pthread_detach(thread);
    }
    return nullptr;
}

class BareEcho {
public:
    BareEcho()
    {
        m_path = std::string(getenv("XDG_RUNTIME_DIR")) + "/bare-echo";
        m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = UnixAddress(m_path.c_str(), &m_address);
        ok = bind(m_listener, reinterpret_cast<sockaddr*>(&m_address), length) == 0
             && listen(m_listener, SOMAXCONN) == 0
             && pthread_create(&m_accept, nullptr, BareEchoAccept,
                               reinterpret_cast<void*>(static_cast<intptr_t>(m_listener)))
                    == 0;
    }
    ~BareEcho()
    {
        shutdown(m_listener, SHUT_RDWR);
        if (ok)
            pthread_join(m_accept, nullptr);
        close(m_listener);
        unlink(m_path.c_str());
    }
    int Dial() const
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&m_address), sizeof(sockaddr_un)) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    bool ok = false;

private:
    std::string m_path;
    sockaddr_storage m_address {};
    int m_listener = -1;
    pthread_t m_accept {};
};

struct Outcome {
    double seconds = 0;
    uint64_t roundTrips = 0;
    std::vector<uint32_t> latencyNs;

    double Rate() const { return static_cast<double>(roundTrips) / seconds; }
    double At(size_t percent) const { return static_cast<double>(latencyNs[latencyNs.size() * percent / 100]); }
    void Add(Outcome&& more)
    {
        seconds += more.seconds;
        roundTrips += more.roundTrips;
        latencyNs.insert(latencyNs.end(), more.latencyNs.begin(), more.latencyNs.end());
    }
};

// One client's connection: an exchange of the request, true when the whole
// reply came back.
class Connection {
public:
    virtual ~Connection() = default;
    virtual bool Exchange(std::string& request) = 0;
};

class BareConnection : public Connection {
public:
    explicit BareConnection(const BareEcho& echo) : m_fd(echo.Dial()) {}
    ~BareConnection() override { close(m_fd); }
    bool Exchange(std::string& request) override
    {
        uint32_t length = static_cast<uint32_t>(request.size());
        m_reply.resize(request.size());
        return m_fd >= 0 && WriteExact2(m_fd, &length, sizeof(length), request.data(), request.size()) == S_OK
               && ReadExact(m_fd, &length, sizeof(length)) == S_OK && length == request.size()
               && ReadExact(m_fd, m_reply.data(), length) == S_OK;
    }

private:
    int m_fd;
    std::string m_reply;
};

class ServiceConnection : public Connection {
public:
    ServiceConnection()
    {
        CComObject<ClientUNIX>::CreateInstance(&m_client);
        m_client->AddRef();
    }
    ~ServiceConnection() override
    {
        sec_free(m_buffer);
        m_client->Release();
    }
    bool Exchange(std::string& request) override
    {
        unsigned long length = m_buffer ? m_capacity : 0;
        bool ok =
            m_client->Transact(reinterpret_cast<unsigned char*>(request.data()), request.size(), &m_buffer, &length)
                == S_OK
            && length == request.size();
        m_capacity = std::max(m_capacity, length);
        return ok;
    }

private:
    CComObject<ClientUNIX>* m_client = nullptr;
    unsigned char* m_buffer = nullptr;
    unsigned long m_capacity = 0;
};

// 64 client threads, each connected (one exchange) before the clock starts,
// then `kRoundTrips` timed exchanges each. Empty when an exchange failed.
template <class Make>
Outcome RunClients(Make make, size_t size)
{
    std::vector<std::vector<uint32_t>> latencies(kClients);
    std::vector<std::thread> clients;
    std::atomic<int> failed {0};
    std::barrier connected(kClients + 1);
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::unique_ptr<Connection> connection = make();
            std::string request(size, 'q');
            bool ok = connection->Exchange(request);
            latencies[c].reserve(kRoundTrips);
            connected.arrive_and_wait();
            for (int i = 0; ok && i < kRoundTrips; ++i) {
                auto start = std::chrono::steady_clock::now();
                ok = connection->Exchange(request);
                auto took = std::chrono::steady_clock::now() - start;
                latencies[c].push_back(
                    static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
            }
            failed += !ok;
        });
    }
    connected.arrive_and_wait();
    auto start = std::chrono::steady_clock::now();
    for (auto& client : clients)
        client.join();
    Outcome outcome;
    if (failed > 0)
        return outcome;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.roundTrips = static_cast<uint64_t>(kClients) * kRoundTrips;
    for (auto& each : latencies)
        outcome.latencyNs.insert(outcome.latencyNs.end(), each.begin(), each.end());
    return outcome;
}

std::mutex s_ratiosLock;
std::vector<std::string> s_ratios;

// Each iteration runs the bare echo and the service one after the other (in
// turn first), so that both see the same machine; the iteration's time is
// the service's.
void BM_ManyClients(benchmark::State& state)
{
    if (!Env().ok) {
        state.SkipWithError("runtime not started");
        return;
    }
    auto size = static_cast<size_t>(state.range(0));
    BareEcho echo;
    CComObject<Mirror>* mirror = nullptr;
    CComObject<Mirror>::CreateInstance(&mirror);
    mirror->AddRef();
    CComObject<ServerUNIX>* server = nullptr;
    CComObject<ServerUNIX>::CreateInstance(&server);
    server->AddRef();
    if (!echo.ok || server->Connect(static_cast<ITunnel*>(mirror)) != S_OK)
        state.SkipWithError("a server did not start");

    Outcome bare, service;
    bool serviceFirst = false;
    for (auto _ : state) {
        if (!echo.ok)
            break;
        Outcome runs[2];
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == serviceFirst)
                runs[1] = RunClients([] { return std::make_unique<ServiceConnection>(); }, size);
            else
                runs[0] = RunClients([&] { return std::make_unique<BareConnection>(echo); }, size);
        }
        serviceFirst = !serviceFirst;
        if (runs[0].roundTrips == 0 || runs[1].roundTrips == 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        state.SetIterationTime(runs[1].seconds);
        bare.Add(std::move(runs[0]));
        service.Add(std::move(runs[1]));
    }
    if (service.roundTrips > 0) {
        std::sort(bare.latencyNs.begin(), bare.latencyNs.end());
        std::sort(service.latencyNs.begin(), service.latencyNs.end());
        state.counters["rt/s"] = service.Rate();
        state.counters["p50_us"] = service.At(50) / 1000;
        state.counters["p99_us"] = service.At(99) / 1000;
        state.counters["bare_rt/s"] = bare.Rate();
        state.counters["bare_p50_us"] = bare.At(50) / 1000;
        state.counters["bare_p99_us"] = bare.At(99) / 1000;
        char line[200];
        snprintf(line, sizeof(line),
                 "%d clients, %zu B frames: service / bare echo: throughput %.2fx, p50 latency %.2fx, p99 latency "
                 "%.2fx",
                 kClients, size, service.Rate() / bare.Rate(), service.At(50) / bare.At(50),
                 service.At(99) / bare.At(99));
        std::lock_guard<std::mutex> lock(s_ratiosLock);
        s_ratios.push_back(line);
    }
    server->Disconnect(nullptr);
    server->Release();
    mirror->Release();
}

}  // namespace

BENCHMARK(BM_ServerAndClient)->Arg(64)->Arg(16384)->UseRealTime();
BENCHMARK(BM_BareUnixPingPong)->Arg(64)->Arg(16384)->UseRealTime();
BENCHMARK(BM_ManyClients)
    ->ArgName("bytes")
    ->Arg(64)
    ->Arg(16384)
    ->Iterations(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::lock_guard<std::mutex> lock(s_ratiosLock);
    for (const std::string& line : s_ratios)
        printf("%s\n", line.c_str());
    return 0;
}

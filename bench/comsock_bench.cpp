// Request/reply round trips per second through the framed socket server and
// client, beside a bare Unix-domain ping-pong of the same frames in the same
// run; frames of 64 B and 16 KiB.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

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

}  // namespace

BENCHMARK(BM_ServerAndClient)->Arg(64)->Arg(16384)->UseRealTime();
BENCHMARK(BM_BareUnixPingPong)->Arg(64)->Arg(16384)->UseRealTime();

BENCHMARK_MAIN();

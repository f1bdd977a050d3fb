// The service's side of the framed socket protocol (handshake, frame
// headers, request bodies) fed arbitrary bytes through a socket pair, with an
// echoing tunnel behind it.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "comsock_framed.h"
#include "comsock_sessions.h"
#include "zelk_alloc.h"

using namespace ZELK::PSESVC::COMSOCK;

// The crypto library's allocator, as the service's process has it.
void* sec_malloc(size_t size)
{
    return malloc(size);
}
void* sec_calloc(size_t count, size_t size)
{
    return calloc(count, size);
}
void* sec_realloc(void* pointer, size_t size)
{
    return realloc(pointer, size);
}
void sec_free(void* pointer)
{
    free(pointer);
}

namespace {

class Echo : public ITunnel {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override
    {
        // Replies one byte longer than the request, so the buffer must grow
        // when a request fills it.
        unsigned long length = inLength + 1;
        if (length > *outLength) {
            auto* grown = static_cast<unsigned char*>(sec_malloc(length));
            if (!grown)
                return E_OUTOFMEMORY;
            memcpy(grown, in, inLength);
            sec_free(*out);
            *out = grown;
        }
        (*out)[inLength] = '!';
        *outLength = length;
        return 0;
    }
    HRESULT Disconnect() override { return 0; }

private:
    std::atomic<long> m_refs {1};
};

class Host final : public ISessionHost {
public:
    void AttachSession(uint32_t* id, ITunnel** tunnel, const PeerInfo& peer) override
    {
        if (*id != 0) {
            if (sessions.Join(*id, tunnel) != S_OK)
                *id = 0;
            return;
        }
        auto* echo = new Echo;
        if (sessions.Add(echo, peer.pid, id) != S_OK)
            *id = 0;
        *tunnel = echo;
    }
    void DetachSession(uint32_t id) override { sessions.Leave(id); }
    void ClientNotice(ClientNoticeKind, const PeerInfo&) override {}
    bool IsStopping() override { return false; }

    SessionTable sessions;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    SetFrameLimit(1 << 20);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    int room = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    if (size == 0 || send(pair[0], data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size)) {
        shutdown(pair[0], SHUT_WR);
        Host host;
        FrameBuffer buffer;
        PeerInfo peer;
        Served first(pair[1], ServeLimits {}, NowMs());
        ServeFramedClient(first, host, buffer, peer);
        // A second client presenting a session of the first must not crash either.
        Served second(pair[1], ServeLimits {}, NowMs());
        ServeFramedClient(second, host, buffer, peer);
    }
    close(pair[0]);
    close(pair[1]);
    return 0;
}

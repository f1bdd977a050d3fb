#include "comsock_framed.h"

#include <malloc.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "comsock_io.h"
#include "zelk_alloc.h"

namespace ZELK::PSESVC::COMSOCK {

namespace {

std::atomic<uint64_t> s_frameLimit {kDefaultFrameLimit};

constexpr unsigned long kInitialCapacity = 1024;

// Reads one frame header. The first bytes may take as long as the socket's
// receive time-out (the idle time-out); from then on the whole frame is due
// by the frame deadline, stored in *deadline. 0 with the length, or the
// reason to end.
HRESULT ReadHeader(Served& connection, uint32_t* length, int64_t* deadline)
{
    auto* header = reinterpret_cast<unsigned char*>(length);
    ssize_t n = 0;
    do
        n = recv(connection.fd, header, sizeof(*length), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return COMSOCK_TIMEOUT;
    if (n <= 0 || !connection.Claim())
        return E_ABORT;
    *deadline = NowMs() + connection.limits.frameMs;
    auto got = static_cast<size_t>(n);
    if (got < sizeof(*length) && ReadBy(connection.fd, header + got, sizeof(*length) - got, *deadline) != S_OK)
        return E_ABORT;
    if (*length == 0 || *length > GetFrameLimit())
        return E_ABORT;
    return S_OK;
}

}  // namespace

void SetFrameLimit(uint64_t bytes)
{
    s_frameLimit = bytes ? bytes : kDefaultFrameLimit;
}

uint64_t GetFrameLimit()
{
    return s_frameLimit;
}

// ---- FrameBuffer ------------------------------------------------------------

FrameBuffer::FrameBuffer()
{
    // Blocks above what a thread keeps (requests, and replies the tunnels
    // allocate) come from the system and go back to it when freed: the
    // allocator would otherwise raise its threshold after the first one and
    // keep them resident for later.
    static std::once_flag s_largeFromSystem;
    std::call_once(s_largeFromSystem, [] { mallopt(M_MMAP_THRESHOLD, static_cast<int>(kKeptBufferBytes)); });
}

FrameBuffer::~FrameBuffer()
{
    Wipe();
    sec_free(data);
}

HRESULT FrameBuffer::Reserve(unsigned long size)
{
    if (size <= capacity && data)
        return S_OK;
    unsigned long wanted = size < kInitialCapacity ? kInitialCapacity : size;
    auto* fresh = static_cast<unsigned char*>(sec_malloc(wanted));
    if (fresh == nullptr)
        return E_OUTOFMEMORY;
    Wipe();
    sec_free(data);
    data = fresh;
    capacity = wanted;
    return S_OK;
}

void FrameBuffer::Wipe()
{
    if (data && capacity)
        OPENSSL_cleanse(data, capacity);
}

void FrameBuffer::Shrink()
{
    if (capacity <= kKeptBufferBytes)
        return;
    Wipe();
    sec_free(data);
    data = nullptr;
    capacity = 0;
}

// ---- one client -------------------------------------------------------------

namespace {

// The session's requests until the client leaves or breaks the protocol.
HRESULT ServeRequests(Served& connection, ISessionHost& host, FrameBuffer& buffer, ITunnel* tunnel,
                      const PeerInfo& peer)
{
    while (!host.IsStopping()) {
        connection.Idle();
        uint32_t length = 0;
        int64_t deadline = 0;
        HRESULT hr = ReadHeader(connection, &length, &deadline);
        if (FAILED(hr))
            return hr;
        // One byte more keeps a terminating zero after the request.
        hr = buffer.Reserve(static_cast<unsigned long>(length) + 1);
        if (FAILED(hr))
            return hr;
        if (ReadBy(connection.fd, buffer.data, length, deadline) != S_OK)
            return E_ABORT;
        buffer.data[length] = 0;

        host.ClientNotice(ClientNoticeKind::Active, peer);
        unsigned char* before = buffer.data;
        unsigned long reply = buffer.capacity;
        tunnel->Transact(buffer.data, length, &buffer.data, &reply);
        // A replaced buffer is known to hold the reply and no more; a buffer
        // grown in place holds the larger reply the tunnel reports.
        if (buffer.data != before || reply > buffer.capacity)
            buffer.capacity = reply;
        if (buffer.data == nullptr) {
            buffer.capacity = 0;
            return E_FAIL;
        }
        if (reply == 0 || reply > GetFrameLimit())
            return E_FAIL;
        uint32_t header = static_cast<uint32_t>(reply);
        if (FAILED(WriteBy(connection.fd, &header, sizeof(header), buffer.data, reply,
                           NowMs() + connection.limits.frameMs)))
            return E_FAIL;
        buffer.Shrink();
    }
    return S_OK;
}

}  // namespace

HRESULT ServeFramedClient(Served& connection, ISessionHost& host, FrameBuffer& buffer, const PeerInfo& peer)
{
    // The handshake, a frame whose body is exactly one session id, is due
    // whole by the handshake deadline.
    int64_t deadline = connection.accepted + connection.limits.handshakeMs;
    uint32_t handshake[2] = {};
    if (ReadBy(connection.fd, handshake, sizeof(handshake[0]), deadline) != S_OK || handshake[0] != sizeof(uint32_t))
        return E_ABORT;
    if (ReadBy(connection.fd, &handshake[1], sizeof(handshake[1]), deadline) != S_OK || !connection.Claim())
        return E_ABORT;
    uint32_t id = handshake[1];

    ITunnel* tunnel = nullptr;
    host.AttachSession(&id, &tunnel, peer);
    if (id == 0 && tunnel) {
        tunnel->Release();
        tunnel = nullptr;
    }
    uint32_t answer[2] = {sizeof(uint32_t), tunnel ? id : 0};
    HRESULT hr = WriteBy(connection.fd, answer, sizeof(answer), nullptr, 0, NowMs() + connection.limits.frameMs);
    if (tunnel == nullptr)
        return E_ABORT;
    if (FAILED(hr)) {
        tunnel->Release();
        host.DetachSession(id);
        return hr;
    }

    host.ClientNotice(ClientNoticeKind::Connect, peer);
    hr = ServeRequests(connection, host, buffer, tunnel, peer);
    host.ClientNotice(ClientNoticeKind::Disconnect, peer);
    tunnel->Release();
    host.DetachSession(id);
    buffer.Wipe();
    return hr;
}

}  // namespace ZELK::PSESVC::COMSOCK

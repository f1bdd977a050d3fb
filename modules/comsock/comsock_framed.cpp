#include "comsock_framed.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "comsock_io.h"
#include "zelk_alloc.h"

namespace ZELK::PSESVC::COMSOCK {

namespace {

std::atomic<uint64_t> s_frameLimit {kDefaultFrameLimit};

constexpr unsigned long kInitialCapacity = 1024;

// A descriptor that becomes readable when process `pid` exits; -1 when it
// has exited already (or `pid` is 0).
int WatchProcess(uint32_t pid)
{
    if (pid == 0)
        return -1;
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

bool ProcessGone(int watch)
{
    pollfd exited {watch, POLLIN, 0};
    return watch < 0 || poll(&exited, 1, 0) != 0;
}

uint32_t RandomId()
{
    uint32_t id = 0;
    while (id == 0) {
        if (getrandom(&id, sizeof(id), 0) != static_cast<ssize_t>(sizeof(id)))
            id = 0;
    }
    return id;
}

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

// ---- SessionTable -----------------------------------------------------------

SessionTable::~SessionTable()
{
    for (auto& [id, entry] : m_sessions) {
        CloseFd(entry.process);
        entry.tunnel->Release();
    }
}

void SessionTable::Sweep()
{
    std::vector<ITunnel*> ended;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            const Entry& entry = it->second;
            if (entry.holders == 0 && ProcessGone(entry.process)) {
                CloseFd(entry.process);
                ended.push_back(entry.tunnel);
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (ITunnel* tunnel : ended)
        tunnel->Release();
}

HRESULT SessionTable::Add(ITunnel* tunnel, uint32_t* id)
{
    if (tunnel == nullptr || id == nullptr)
        return E_INVALIDARG;
    Sweep();
    std::lock_guard<std::mutex> lock(m_lock);
    uint32_t candidate = RandomId();
    while (m_sessions.count(candidate))
        candidate = RandomId();
    tunnel->AddRef();
    m_sessions.emplace(candidate, Entry {tunnel, 1, -1, true});
    *id = candidate;
    return S_OK;
}

HRESULT SessionTable::Join(uint32_t id, ITunnel** tunnel)
{
    *tunnel = nullptr;
    Sweep();
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_sessions.find(id);
    if (id == 0 || it == m_sessions.end() || !it->second.current)
        return S_FALSE;
    ++it->second.holders;
    CloseFd(it->second.process);
    it->second.process = -1;
    it->second.tunnel->AddRef();
    *tunnel = it->second.tunnel;
    return S_OK;
}

void SessionTable::Leave(uint32_t id, uint32_t keepFor)
{
    ITunnel* ended = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            return;
        Entry& entry = it->second;
        if (--entry.holders == 0 && m_keep && entry.current)
            entry.process = WatchProcess(keepFor);
        if (entry.holders == 0 && entry.process < 0) {
            ended = entry.tunnel;
            m_sessions.erase(it);
        }
    }
    // The tunnel may run its own clean-up; never under the table's lock.
    if (ended)
        ended->Release();
    Sweep();
}

void SessionTable::Close()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_keep = false;
        for (auto& [id, entry] : m_sessions) {
            entry.current = false;
            CloseFd(entry.process);
            entry.process = -1;
        }
    }
    Sweep();
}

void SessionTable::Open()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_keep = true;
}

size_t SessionTable::Count()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sessions.size();
}

// ---- FrameBuffer ------------------------------------------------------------

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
    host.AttachSession(&id, &tunnel);
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
        host.DetachSession(id, peer);
        return hr;
    }

    host.ClientNotice(ClientNoticeKind::Connect, peer);
    hr = ServeRequests(connection, host, buffer, tunnel, peer);
    host.ClientNotice(ClientNoticeKind::Disconnect, peer);
    tunnel->Release();
    host.DetachSession(id, peer);
    buffer.Wipe();
    return hr;
}

}  // namespace ZELK::PSESVC::COMSOCK

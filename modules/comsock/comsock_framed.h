// The framed protocol of the service's socket: frames of a u32 length (host
// order) and that many body bytes; a session handshake as the first frame of
// every socket, then one reply frame per request frame. This is the server's
// side of one connection, over any connected stream socket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comsock_served.h"
#include "zelk_result.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::COMSOCK {

constexpr uint64_t kDefaultFrameLimit = 16u * 1024u * 1024u;

// The largest frame body either end accepts; a frame announcing more ends
// the connection. Process-wide; 0 restores the default.
void SetFrameLimit(uint64_t bytes);
uint64_t GetFrameLimit();

// The peer process as the server reports it to its session callbacks.
struct PeerInfo {
    uint32_t uid = 0;
    uint32_t pid = 0;
    char name[32] = "unknown";
};

enum class ClientNoticeKind { Connect, Active, Disconnect };

// What a connection needs of its server.
class ISessionHost {
public:
    // Handshake: *id 0 asks for a new session. 0 with the session's id and
    // tunnel (one reference), or *id 0 and no tunnel when none can be had.
    virtual void AttachSession(uint32_t* id, ITunnel** tunnel, const PeerInfo& peer) = 0;
    virtual void DetachSession(uint32_t id) = 0;
    virtual void ClientNotice(ClientNoticeKind kind, const PeerInfo& peer) = 0;
    virtual bool IsStopping() = 0;

protected:
    ~ISessionHost() = default;
};

// A pool thread keeps a buffer of up to this size for the next frame.
constexpr unsigned long kKeptBufferBytes = 1024 * 1024;

// The receive and reply buffer of one pool thread, from the crypto library's
// allocator; kept across clients, wiped before it is freed or handed on.
class FrameBuffer {
public:
    FrameBuffer();
    ~FrameBuffer();
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    // At least `size` bytes; old contents are not kept. 0x8007000E on failure.
    HRESULT Reserve(unsigned long size);
    // Zero bytes over what the last client left.
    void Wipe();
    // After a large frame: a buffer over kKeptBufferBytes is wiped and given
    // back to the system, so that one large frame does not stay resident.
    void Shrink();

    unsigned char* data = nullptr;
    unsigned long capacity = 0;
};

// Serves one client until it closes, breaks the protocol, misses a deadline
// or the server stops: the handshake, then request frames for the session's
// tunnel. The socket stays open; the caller closes it. Returns why the
// service ended (0x80000007 peer closed, refused input or missed a deadline,
// 0x800705B4 idle too long, 0x80004005 failure, 0x8007000E no memory).
HRESULT ServeFramedClient(Served& connection, ISessionHost& host, FrameBuffer& buffer, const PeerInfo& peer);

}  // namespace ZELK::PSESVC::COMSOCK

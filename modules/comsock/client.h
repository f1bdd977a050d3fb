// The client end of the local transport: a tunnel that carries each request
// as one frame on the calling thread's own socket and hands back the reply.
// All sockets of one object share one session. "zelk.comunix.client" reaches
// the per-user Unix-domain socket, "zelk.comsock.client" 127.0.0.1:34443.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "comsock_path.h"
#include "zelk_object.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::COMSOCK {

// The program started when the service's socket cannot be reached: the
// installed "KestrinClient" beside the libraries. Tests name another one
// (nullptr restores the installed one).
void SetApplicationPath(const char* path);

class Client : public ITunnel, public ITunnelInfo, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Client)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_INTMAP_ENTRY(ITunnelInfo)
    ZELK_END_INTMAP()

    // One exchange on the calling thread's socket. 0; -1 when the object is
    // dead or no socket can be connected; 0x80000003 for a request over the
    // frame limit; 0x8007006D when the exchange fails after connecting (every
    // socket of the object is then given up). The current buffer is always
    // stored through `out`.
    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override;
    // Gives up every socket of the object; 0.
    HRESULT Disconnect() override;
    HRESULT GetType(char** type) override;

    // The calling thread's connected socket, or -1.
    int Connect();
    int Start();
    HRESULT CreatePipeName();
    HRESULT DisconnectAll();

    uint32_t SessionId() const { return m_sessionId; }
    bool IsDead() const { return m_dead; }
    const char* SocketPath() const { return m_socketPath; }

protected:
    Client();
    ~Client() override;

    int m_family = 0;
    int m_type = 0;
    int m_protocol = 0;
    sockaddr_storage m_address {};
    socklen_t m_addressLength = 0;
    const char* m_typeText = "";
    char m_socketPath[512] = {};

public:
    // The object's open sockets; shared with the threads that hold one, so
    // that a thread that ends can close its own even after the object is gone.
    struct Sockets {
        std::mutex lock;
        // descriptor -> (generation, given up)
        std::unordered_map<int, std::pair<uint64_t, bool>> open;
        uint64_t generation = 0;
    };

private:
    int NewSocket();
    bool PeerAllowed(int fd);
    HRESULT Handshake(int fd);
    void Forget(int fd, uint64_t generation);

    uint64_t m_objectId;
    std::shared_ptr<Sockets> m_sockets;
    std::atomic<uint32_t> m_sessionId {0};
    std::atomic<bool> m_autoStart {true};
    std::atomic<bool> m_dead {false};
    // Single-user mode was configured when the path was computed.
    bool m_singleUser = false;
    std::mutex m_firstHandshake;
};

class ClientUNIX : public Client {
public:
    ClientUNIX();
};

class ClientTCP : public Client {
public:
    ClientTCP();
};

}  // namespace ZELK::PSESVC::COMSOCK

// The service's end of the local transport: a listening socket, its pool of
// accept-and-serve threads, the framed protocol with its session handshake,
// and the table of live sessions. "zelk.comunix.server" listens on the
// per-user Unix-domain socket, "zelk.comsock.server" on 127.0.0.1:34443.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "comsock_framed.h"
#include "comsock_path.h"
#include "comsock_pool.h"
#include "comsock_sessions.h"
#include "zelk_classfactory.h"
#include "zelk_object.h"
#include "zelk_ptr.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::COMSOCK {

constexpr uint16_t kServicePort = 34443;

class Server : public ITunnelSource,
               public IPSESVCSession,
               public CComObjectRoot,
               private ISessionHost,
               private IAcceptHandler {
public:
    ZELK_BEGIN_INTMAP(Server)
    ZELK_INTMAP_ENTRY(ITunnelSource)
    ZELK_INTMAP_ENTRY(IPSESVCSession)
    ZELK_END_INTMAP()

    // Attaches to a tunnel (every session uses it) or a class factory (a new
    // tunnel per session), opens the listening socket and starts the pool.
    // 0; 0x80000003 for any other source; -1 when no socket can be created;
    // 0x80004005 when the socket cannot be bound (a running service holds
    // it) or its folder is not private; 0x80070005 for a foreign folder.
    HRESULT Connect(IUnknown* source) override;
    // Detaches and stops: the listening socket closes (the socket file goes),
    // served clients are woken and end. Always 0.
    HRESULT Disconnect(IUnknown* source) override;
    // Gives the socket to `user` and makes the process that user (supplementary
    // groups, group id, user id, each checked). 0, or -1 with nothing changed
    // in the process's identity.
    HRESULT UserSwitch(const char* user) override;

    // The socket path field := this process's socket path.
    HRESULT CreateSocketName();
    HRESULT GetUID(const char* user, unsigned int& uid, unsigned int& gid);
    static HRESULT CreateSocketPath(char* path);

    const char* SocketPath() const { return m_socketPath; }
    size_t SessionCount() { return m_sessions.Count(); }
    unsigned PoolThreads() { return m_pool.Running(); }
    unsigned PoolWaiting() { return m_pool.Waiting(); }
    void SetPoolLimits(const PoolLimits& limits) { m_pool.SetLimits(limits); }
    void SetSessionLimits(const SessionLimits& limits) { m_sessions.SetLimits(limits); }

    // The socket path last computed in this process, and the single user.
    static char s_szSockPath[kSocketPathSize];
    static const char* SingleUser() { return SingleUserName(); }

protected:
    Server();
    ~Server() override;

    int m_family = AF_INET;
    int m_type = SOCK_STREAM;
    int m_protocol = 0;
    sockaddr_storage m_address {};
    socklen_t m_addressLength = 0;

private:
    void AttachSession(uint32_t* id, ITunnel** tunnel, const PeerInfo& peer) override;
    void DetachSession(uint32_t id) override;
    void ClientNotice(ClientNoticeKind kind, const PeerInfo& peer) override;
    bool IsStopping() override;
    void Serve(Served& connection, FrameBuffer& buffer) override;
    int WatchFd() override;
    void Watched() override;

    HRESULT OpenListener(int* fd);
    HRESULT BindUnix(int fd);
    bool PeerAllowed(int fd, PeerInfo* peer);
    ZELK_PTR(ITunnelCallback) Callback();

    std::mutex m_refsLock;
    ZELK_PTR(ITunnel) m_direct;
    ZELK_PTR(IClassFactory) m_factory;
    ZELK_PTR(ITunnelCallback) m_callback;
    std::atomic<bool> m_hasCallback {false};

    std::mutex m_pathLock;
    char m_socketPath[512] = {};
    bool m_ownsFile = false;
    uid_t m_owner = 0;

    SessionTable m_sessions;
    AcceptPool m_pool;
};

class ServerUNIX : public Server {
public:
    ServerUNIX();
};

class ServerTCP : public Server {
public:
    ServerTCP();
};

}  // namespace ZELK::PSESVC::COMSOCK

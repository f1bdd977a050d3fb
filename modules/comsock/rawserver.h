// The transport of the local HTTPS server: a TCP server on 127.0.0.1 whose
// connections carry an unframed byte stream. Every accepted connection gets a
// tunnel of its own, told the peer's process id; every chunk received goes to
// that tunnel and whatever it answers is written back.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>

#include "comsock_pool.h"
#include "zelk_classfactory.h"
#include "zelk_object.h"
#include "zelk_ptr.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::COMSOCK {

inline constexpr const char* kWebAdapterTrace = "webadapter";
constexpr unsigned long kRawBufferSize = 16384;

class RAWServer : public ITunnelSource, public CComObjectRoot, private IAcceptHandler {
public:
    ZELK_BEGIN_INTMAP(RAWServer)
    ZELK_INTMAP_ENTRY(ITunnelSource)
    ZELK_END_INTMAP()

    // Attaches to a tunnel or a class factory, takes the port from the
    // source's ATTR_LOCAL_PORT, opens the listening socket and starts the
    // pool. 0; 0x80000003 for any other source; -1 when no socket can be
    // created; 0x80004005 when the port cannot be bound.
    HRESULT Connect(IUnknown* source) override;
    // Detaches and stops; 0. Connect may start the server again.
    HRESULT Disconnect(IUnknown* source) override;

    virtual HRESULT SetLocalPort(int port) = 0;
    int LocalPort() const { return ntohs(m_address.sin_port); }
    void SetPoolLimits(const PoolLimits& limits) { m_pool.SetLimits(limits); }
    unsigned PoolThreads() { return m_pool.Running(); }

protected:
    RAWServer();
    ~RAWServer() override;

    sockaddr_in m_address {};

private:
    void Serve(Served& connection, FrameBuffer& buffer) override;
    HRESULT GetTunnel(ITunnel** tunnel);

    std::mutex m_refsLock;
    ZELK_PTR(ITunnel) m_direct;
    ZELK_PTR(IClassFactory) m_factory;
    AcceptPool m_pool;
};

class ServerRawTCP : public RAWServer {
public:
    ServerRawTCP();
    HRESULT SetLocalPort(int port) override;
};

}  // namespace ZELK::PSESVC::COMSOCK

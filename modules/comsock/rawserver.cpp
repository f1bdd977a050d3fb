#include "rawserver.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "comsock_io.h"
#include "comsock_peer.h"
#include "server.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::COMSOCK {

RAWServer::RAWServer() : m_pool(this, kWebAdapterTrace)
{
    m_address.sin_family = AF_INET;
    m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

RAWServer::~RAWServer()
{
    m_pool.Stop();
    m_pool.Join();
}

HRESULT RAWServer::Connect(IUnknown* source)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "RAWServer::Connect");
    ZELK_PTR(ITunnel) direct;
    ZELK_PTR(IClassFactory) factory;
    direct = source;
    factory = source;
    {
        std::lock_guard<std::mutex> lock(m_refsLock);
        m_direct = direct;
        m_factory = factory;
    }
    ZELK_PTR(ITunnelCallback) callback;
    callback = factory.getObject();
    if (callback)
        callback->SetTunnelSource(static_cast<ITunnelSource*>(this));
    if (!direct && !factory)
        return trace.result = E_INVALIDARG;

    ZELK_PTR(ITunnelControl) control;
    control = source;
    if (control) {
        SECAttribute port {};
        port.id = ATTR_LOCAL_PORT;
        control->GetProperties(&port);
        long value = 0;
        if (ZELK_AttrGetInteger(&port, ATTR_LOCAL_PORT, &value) && value > 0 && value <= 65535)
            SetLocalPort(static_cast<int>(value));
    }

    if (!m_pool.IsListening()) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            SECTRACE_WriteLn(kWebAdapterTrace, 1, "localhost TCP socket can not be created");
            return trace.result = -1;
        }
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(fd, reinterpret_cast<sockaddr*>(&m_address), sizeof(m_address)) != 0) {
            int error = errno;
            SECTRACE_FormatLn(kWebAdapterTrace, 1, "localhost TCP socket can not be used,error: %d", error);
            if (error == EADDRINUSE) {
                uint32_t pid = GetPidUsingPort(LocalPort());
                std::string path = ReadProcessPath(pid);
                if (!path.empty())
                    SECTRACE_FormatLn(kWebAdapterTrace, 1,
                                      "********************** ERROR STARTING HEARTHGATE ***********************\n"
                                      "local TCP port %d is in use by process[%d] %s\n"
                                      "********************** ERROR STARTING HEARTHGATE ***********************",
                                      LocalPort(), pid, path.c_str());
            }
            CloseFd(fd);
            return trace.result = E_FAIL;
        }
        if (listen(fd, kListenBacklog) != 0) {
            CloseFd(fd);
            return trace.result = E_FAIL;
        }
        SECTRACE_FormatLn(kWebAdapterTrace, 3, "Hearthgate Service Socket open on 127.0.0.1 Port %d", LocalPort());
        HRESULT hr = m_pool.Start(fd);
        if (FAILED(hr))
            return trace.result = hr;
    }
    return trace.result = S_OK;
}

HRESULT RAWServer::Disconnect(IUnknown*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "RAWServer::Disconnect");
    ZELK_PTR(ITunnelCallback) callback;
    {
        std::lock_guard<std::mutex> lock(m_refsLock);
        callback = m_factory.getObject();
        m_direct = static_cast<ITunnel*>(nullptr);
        m_factory = static_cast<IClassFactory*>(nullptr);
    }
    if (callback)
        callback->SetTunnelSource(nullptr);
    m_pool.Stop();
    return trace.result = S_OK;
}

HRESULT RAWServer::GetTunnel(ITunnel** tunnel)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "RAWServer::GetTunnel");
    *tunnel = nullptr;
    ZELK_PTR(ITunnel) direct;
    ZELK_PTR(IClassFactory) factory;
    {
        std::lock_guard<std::mutex> lock(m_refsLock);
        direct = m_direct;
        factory = m_factory;
    }
    if (direct) {
        *tunnel = direct.Detach();
        return trace.result = S_OK;
    }
    if (!factory)
        return trace.result = E_FAIL;
    trace.result = factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(tunnel));
    if (SUCCEEDED(trace.result) && *tunnel == nullptr)
        trace.result = E_FAIL;
    return trace.result;
}

void RAWServer::Serve(Served& connection, FrameBuffer& buffer)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "RAWServer::Connection::ReceiveMessages");
    // The local API is the user's own: a socket of another user, or one whose
    // owner cannot be told, gets nothing.
    uid_t owner = 0;
    if (!GetTcpPeerUid(connection.fd, &owner) || owner != geteuid()) {
        SECTRACE_WriteLn(kWebAdapterTrace, 1, "connection from another user or an unknown socket, refused");
        trace.result = E_ACCESSDENIED;
        return;
    }
    ZELK_PTR(ITunnel) tunnel;
    if (FAILED(buffer.Reserve(kRawBufferSize)) || FAILED(GetTunnel(&tunnel)) || !tunnel) {
        SECTRACE_WriteLn(kWebAdapterTrace, 1, "can not start connection, invalid socket, abort ...");
        trace.result = E_FAIL;
        return;
    }
    int fd = connection.fd;
    uint32_t pid = GetTcpPeerPid(fd);
    SECTRACE_FormatLn(kWebAdapterTrace, 3, "*** New Connection ***\nSocket connection from PID %d", pid);
    std::string path = ReadProcessPath(pid);
    if (!path.empty())
        SECTRACE_FormatLn(kWebAdapterTrace, 3, "Socket connection from process %s", path.c_str());
    ZELK_PTR(ITunnelControl) control;
    control = tunnel.getObject();
    if (control) {
        SECAttribute attribute {};
        attribute.id = ATTR_CLIENT_PID;
        attribute.value = &pid;
        control->SetProperties(&attribute);
    }

    // The first bytes are due by the handshake deadline; a message the
    // tunnel has begun to take (it answered 1) is due whole by the frame
    // deadline; between messages the idle time-out applies (due 0).
    int64_t due = connection.accepted + connection.limits.handshakeMs;
    int64_t messageDue = 0;
    bool waiting = true;
    trace.result = S_OK;
    while (!m_pool.IsStopping()) {
        ssize_t received = ReceiveSome(fd, buffer.data, buffer.capacity, due);
        if (received <= 0 || (waiting && !connection.Claim())) {
            trace.result = E_ABORT;
            break;
        }
        if (waiting)
            messageDue = NowMs() + connection.limits.frameMs;
        waiting = false;
        unsigned char* before = buffer.data;
        unsigned long reply = buffer.capacity;
        HRESULT hr = tunnel->Transact(buffer.data, static_cast<unsigned long>(received), &buffer.data, &reply);
        // A replaced buffer is known to hold the reply and no more; a buffer
        // grown in place holds the larger reply the tunnel reports.
        if (buffer.data != before || reply > buffer.capacity)
            buffer.capacity = reply;
        if (buffer.data == nullptr) {
            buffer.capacity = 0;
            trace.result = E_FAIL;
            break;
        }
        if (hr == S_FALSE) {
            due = messageDue;
        } else if (FAILED(hr)) {
            trace.result = E_FAIL;
            break;
        } else if (reply > 0
                   && FAILED(WriteBy(fd, buffer.data, reply, nullptr, 0, NowMs() + connection.limits.frameMs))) {
            SECTRACE_FormatLn(kWebAdapterTrace, 1, "send failed with error code: %s (%u,%u)", strerror(errno),
                              m_pool.Running(), m_pool.Waiting());
            trace.result = E_FAIL;
            break;
        }
        buffer.Shrink();
        if (buffer.capacity < kRawBufferSize && FAILED(buffer.Reserve(kRawBufferSize))) {
            trace.result = E_OUTOFMEMORY;
            break;
        }
        if (hr == S_FALSE)
            continue;
        // An empty reply sends nothing, and nothing follows it.
        if (reply > 0 && control && control->CloseAfterTransact())
            break;
        connection.Idle();
        waiting = true;
        due = 0;
    }
    tunnel->Disconnect();
    buffer.Wipe();
}

ServerRawTCP::ServerRawTCP()
{
    m_address.sin_port = htons(kServicePort);
}

HRESULT ServerRawTCP::SetLocalPort(int port)
{
    SECTRACE_FormatLn(kWebAdapterTrace, 3, "**** Local Server ***\nConfigure Port: %d\n**** Local Server ****", port);
    m_address.sin_port = htons(static_cast<uint16_t>(port));
    return S_OK;
}

}  // namespace ZELK::PSESVC::COMSOCK

#include "server.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "comsock_io.h"
#include "comsock_peer.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::COMSOCK {

char Server::s_szSockPath[kSocketPathSize];

namespace {

std::mutex s_sockPathLock;

// True when a service listens on the Unix-domain socket `path` (or cannot be
// asked without waiting: its queue is full).
bool SocketIsLive(const char* path)
{
    sockaddr_storage address {};
    socklen_t length = UnixAddress(path, &address);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool live =
        probe >= 0 && (connect(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 || errno != ECONNREFUSED);
    CloseFd(probe);
    return live;
}

// The owner of process `pid` (its /proc entry); false when it is gone.
bool ProcessOwner(uint32_t pid, uid_t* uid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u", pid);
    struct stat info {};
    if (pid == 0 || stat(path, &info) != 0)
        return false;
    *uid = info.st_uid;
    return true;
}

}  // namespace

Server::Server() : m_pool(this, nullptr)
{
    CreateSocketName();
}

Server::~Server()
{
    m_pool.Stop();
    m_pool.Join();
    std::lock_guard<std::mutex> lock(m_pathLock);
    if (m_ownsFile) {
        unlink(m_socketPath);
        SECTRACE_FormatLn(nullptr, 4, "communication ends, delete socket file %s", m_socketPath);
    }
}

HRESULT Server::CreateSocketPath(char* path)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "Server::CreateSocketPath");
    if (path == nullptr)
        return trace.result = E_INVALIDARG;
    trace.result = COMSOCK::CreateSocketPath(path);
    if (SUCCEEDED(trace.result)) {
        std::lock_guard<std::mutex> lock(s_sockPathLock);
        memcpy(s_szSockPath, path, kSocketPathSize);
    }
    return trace.result;
}

HRESULT Server::CreateSocketName()
{
    char path[kSocketPathSize] = {};
    HRESULT hr = CreateSocketPath(path);
    std::lock_guard<std::mutex> lock(m_pathLock);
    memcpy(m_socketPath, path, sizeof(path));
    return hr;
}

HRESULT Server::GetUID(const char* user, unsigned int& uid, unsigned int& gid)
{
    uid_t u = 0;
    gid_t g = 0;
    if (LookupUser(user, &u, &g) != S_OK) {
        SECTRACE_FormatLn(nullptr, 1, "user %s can not be found in password database, abort user switch",
                          user ? user : "");
        return E_FAIL;
    }
    uid = u;
    gid = g;
    return S_OK;
}

ZELK_PTR(ITunnelCallback) Server::Callback()
{
    std::lock_guard<std::mutex> lock(m_refsLock);
    return m_callback;
}

HRESULT Server::Connect(IUnknown* source)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "Server::Connect");
    ZELK_PTR(ITunnel) direct;
    ZELK_PTR(IClassFactory) factory;
    ZELK_PTR(ITunnelCallback) callback;
    direct = source;
    factory = source;
    callback = factory.getObject();
    {
        std::lock_guard<std::mutex> lock(m_refsLock);
        m_direct = direct;
        m_factory = factory;
        m_callback = callback;
        m_hasCallback = static_cast<bool>(callback);
    }
    if (callback)
        callback->SetTunnelSource(static_cast<ITunnelSource*>(this));
    if (!direct && !factory)
        return trace.result = E_INVALIDARG;

    if (!m_pool.IsListening()) {
        int fd = -1;
        HRESULT hr = OpenListener(&fd);
        if (FAILED(hr))
            return trace.result = hr;
        m_sessions.Open();
        hr = m_pool.Start(fd);
        if (FAILED(hr))
            return trace.result = hr;
    }
    return trace.result = S_OK;
}

HRESULT Server::OpenListener(int* out)
{
    int fd = socket(m_family, m_type | SOCK_NONBLOCK | SOCK_CLOEXEC, m_protocol);
    if (fd < 0) {
        SECTRACE_FormatLn(nullptr, 1, "socket can not be created: %s", strerror(errno));
        return -1;
    }
    HRESULT hr = S_OK;
    if (m_family == AF_UNIX) {
        hr = BindUnix(fd);
    } else {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(fd, reinterpret_cast<sockaddr*>(&m_address), m_addressLength) != 0) {
            SECTRACE_FormatLn(nullptr, 1, "localhost TCP socket can not be used,error: %d", errno);
            hr = E_FAIL;
        }
    }
    if (SUCCEEDED(hr) && listen(fd, kListenBacklog) != 0) {
        SECTRACE_FormatLn(nullptr, 1, "socket can not listen: %s", strerror(errno));
        hr = E_FAIL;
    }
    if (FAILED(hr)) {
        CloseFd(fd);
        std::lock_guard<std::mutex> lock(m_pathLock);
        if (m_ownsFile && m_family == AF_UNIX)
            unlink(m_socketPath);
        m_ownsFile = false;
        return hr;
    }
    if (m_family == AF_UNIX) {
        std::lock_guard<std::mutex> lock(m_pathLock);
        SECTRACE_FormatLn(nullptr, 2, "listening on %s", m_socketPath);
    }
    *out = fd;
    return S_OK;
}

// Binds the Unix-domain socket inside its private folder. A socket file left
// by a service that no longer runs (ours, nobody listening) is replaced; a
// live one or someone else's file is never touched.
HRESULT Server::BindUnix(int fd)
{
    std::lock_guard<std::mutex> lock(m_pathLock);
    if (m_socketPath[0] == 0)
        return E_FAIL;
    m_owner = SocketOwner();
    gid_t group = getgid();
    char name[kSocketPathSize];
    uid_t uid = 0;
    if (ReadSingleUser(name, sizeof(name)))
        LookupUser(name, &uid, &group);
    std::string folder(m_socketPath);
    folder.resize(folder.rfind('/'));
    HRESULT hr = EnsurePrivateFolder(folder, m_owner, group);
    if (FAILED(hr))
        return hr;

    m_addressLength = UnixAddress(m_socketPath, &m_address);
    auto* address = reinterpret_cast<sockaddr*>(&m_address);
    if (bind(fd, address, m_addressLength) != 0) {
        if (errno != EADDRINUSE) {
            SECTRACE_FormatLn(nullptr, 4, "socket file %s can not be used,error: %s", m_socketPath, strerror(errno));
            return E_FAIL;
        }
        struct stat info {};
        if (lstat(m_socketPath, &info) != 0 || !S_ISSOCK(info.st_mode)
            || (info.st_uid != geteuid() && info.st_uid != m_owner)) {
            SECTRACE_FormatLn(nullptr, 1, "socket file %s belongs to someone else, refused", m_socketPath);
            return E_FAIL;
        }
        if (SocketIsLive(m_socketPath)) {
            SECTRACE_FormatLn(nullptr, 1, "socket file %s is in use by a running service", m_socketPath);
            return E_FAIL;
        }
        unlink(m_socketPath);
        SECTRACE_FormatLn(nullptr, 4, "socket file already exists, deleted it! file name: %s", m_socketPath);
        if (bind(fd, address, m_addressLength) != 0) {
            SECTRACE_FormatLn(nullptr, 4, "socket file %s can not be used,error: %s", m_socketPath, strerror(errno));
            return E_FAIL;
        }
    }
    m_ownsFile = true;
    // The folder keeps others out from the bind on; the file itself is the
    // owner's alone as well.
    if (chmod(m_socketPath, 0600) != 0)
        return E_FAIL;
    if (m_owner != geteuid() && chown(m_socketPath, m_owner, group) != 0) {
        SECTRACE_FormatLn(nullptr, 1, "socket file %s can not be given to uid %u: %s", m_socketPath, m_owner,
                          strerror(errno));
        return E_FAIL;
    }
    return S_OK;
}

HRESULT Server::Disconnect(IUnknown*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "Server::Disconnect");
    ZELK_PTR(ITunnelCallback) callback = Callback();
    if (callback)
        callback->SetTunnelSource(nullptr);
    {
        std::lock_guard<std::mutex> lock(m_refsLock);
        m_direct = static_cast<ITunnel*>(nullptr);
        m_factory = static_cast<IClassFactory*>(nullptr);
    }
    m_pool.Stop();
    m_sessions.Close();
    std::lock_guard<std::mutex> lock(m_pathLock);
    if (m_ownsFile)
        unlink(m_socketPath);
    m_ownsFile = false;
    return trace.result = S_OK;
}

bool Server::IsStopping()
{
    return m_pool.IsStopping();
}

void Server::AttachSession(uint32_t* id, ITunnel** tunnel, const PeerInfo& peer)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "Server::GetTunnel");
    *tunnel = nullptr;
    if (*id != 0) {
        if (m_sessions.Join(*id, tunnel) != S_OK) {
            *id = 0;
            trace.result = E_FAIL;
        }
        return;
    }
    ZELK_PTR(ITunnel) direct;
    ZELK_PTR(IClassFactory) factory;
    {
        std::lock_guard<std::mutex> lock(m_refsLock);
        direct = m_direct;
        factory = m_factory;
    }
    ITunnel* fresh = nullptr;
    if (direct) {
        fresh = direct.Detach();
    } else if (factory) {
        factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&fresh));
    }
    if (fresh == nullptr || m_sessions.Add(fresh, peer.pid, id) != S_OK) {
        if (fresh)
            fresh->Release();
        *id = 0;
        trace.result = E_FAIL;
        return;
    }
    *tunnel = fresh;
}

void Server::DetachSession(uint32_t id)
{
    m_sessions.Leave(id);
}

int Server::WatchFd()
{
    return m_sessions.WatchFd();
}

void Server::Watched()
{
    m_sessions.EndExited();
}

void Server::ClientNotice(ClientNoticeKind kind, const PeerInfo& peer)
{
    // Every frame gives notice: without a callback that costs nothing.
    if (!m_hasCallback)
        return;
    ZELK_PTR(ITunnelCallback) callback = Callback();
    if (!callback)
        return;
    switch (kind) {
    case ClientNoticeKind::Connect:
        callback->ClientConnect(peer.name, peer.pid);
        break;
    case ClientNoticeKind::Active:
        callback->ClientActive(peer.name, peer.pid);
        break;
    case ClientNoticeKind::Disconnect:
        callback->ClientDisconnect(peer.name, peer.pid);
        break;
    }
}

// Only the service's own user (and, in single-user mode, the single user)
// may talk to the service.
bool Server::PeerAllowed(int fd, PeerInfo* peer)
{
    if (m_family == AF_UNIX) {
        if (FAILED(GetPeerInfo(fd, peer)))
            return false;
    } else {
        peer->pid = GetTcpPeerPid(fd);
        uid_t uid = 0;
        if (!ProcessOwner(peer->pid, &uid))
            return false;
        peer->uid = uid;
        if (!ReadProcessName(peer->pid, peer->name, sizeof(peer->name)))
            snprintf(peer->name, sizeof(peer->name), "unknown");
    }
    return peer->uid == geteuid() || peer->uid == m_owner;
}

void Server::Serve(Served& connection, FrameBuffer& buffer)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "Server::Connection::ReceiveMessages");
    PeerInfo peer;
    if (!PeerAllowed(connection.fd, &peer)) {
        SECTRACE_FormatLn(nullptr, 1, "connection of uid %u (pid %u) refused: not the service's user", peer.uid,
                          peer.pid);
        trace.result = E_ACCESSDENIED;
        return;
    }
    trace.result = ServeFramedClient(connection, *this, buffer, peer);
}

HRESULT Server::UserSwitch(const char* user)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "Server::UserSwitch");
    if (SingleUserName()[0])
        return trace.result = S_OK;
    if (getuid() != 0 && getgid() != 0) {
        SECTRACE_WriteLn(nullptr, 1, "not root , abort user switch");
        return trace.result = -1;
    }
    unsigned int uid = 0;
    unsigned int gid = 0;
    if (FAILED(GetUID(user, uid, gid))) {
        SECTRACE_FormatLn(nullptr, 1, "user %s can not be found in password database, abort user switch",
                          user ? user : "");
        return trace.result = -1;
    }
    SECTRACE_FormatLn(nullptr, 4, "username: %s -> uid: %d gid : %d", user, uid, gid);

    std::lock_guard<std::mutex> lock(m_pathLock);
    char target[kSocketPathSize];
    if (FAILED(CreateSocketPathFor(uid, target)))
        return trace.result = -1;
    std::string folder(target);
    folder.resize(folder.rfind('/'));
    if (FAILED(EnsurePrivateFolder(folder, uid, gid)))
        return trace.result = -1;

    // The file moves while the process may still do so; a failure of any
    // later step moves it back and leaves the process as it was.
    uid_t oldUid = getuid();
    gid_t oldGid = getgid();
    bool moves = strcmp(target, m_socketPath) != 0;
    struct stat existing {};
    if (moves && lstat(target, &existing) == 0 && S_ISSOCK(existing.st_mode) && SocketIsLive(target)) {
        SECTRACE_FormatLn(nullptr, 1, "socket file %s is in use by a running service, abort user switch", target);
        return trace.result = -1;
    }
    if (chown(m_socketPath, uid, gid) != 0) {
        SECTRACE_FormatLn(nullptr, 1, "%s, abort user switch", strerror(errno));
        return trace.result = -1;
    }
    if (moves) {
        unlink(target);
        if (rename(m_socketPath, target) != 0) {
            SECTRACE_FormatLn(nullptr, 1, "socket file can not be renamed, access error: %s", strerror(errno));
            chown(m_socketPath, oldUid, oldGid);
            return trace.result = -1;
        }
    }
    int groupCount = getgroups(0, nullptr);
    std::vector<gid_t> groups(groupCount > 0 ? static_cast<size_t>(groupCount) : 0);
    if (groupCount > 0)
        getgroups(groupCount, groups.data());

    const char* failed = nullptr;
    if (initgroups(user, gid) != 0)
        failed = "initgroups";
    else if (setgid(gid) != 0)
        failed = "setgid";
    else if (setuid(uid) != 0)
        failed = "setuid";
    if (failed) {
        SECTRACE_FormatLn(nullptr, 1, "%s failed, abort user switch! error: %s", failed, strerror(errno));
        setgid(oldGid);
        setgroups(groups.size(), groups.data());
        if (moves)
            rename(target, m_socketPath);
        chown(m_socketPath, oldUid, oldGid);
        return trace.result = -1;
    }
    if (getuid() != uid || geteuid() != uid || getgid() != gid || getegid() != gid || (uid != 0 && setuid(0) == 0)) {
        SECTRACE_WriteLn(nullptr, 1, "user switch can not be verified, abort");
        abort();
    }
    // A client sees the credentials the socket had when it began to listen;
    // from now on they are the user's.
    if (!m_pool.Relisten())
        SECTRACE_FormatLn(nullptr, 1, "socket can not listen as uid %u: %s", uid, strerror(errno));
    memcpy(m_socketPath, target, sizeof(target));
    m_owner = uid;
    {
        std::lock_guard<std::mutex> pathLock(s_sockPathLock);
        memcpy(s_szSockPath, target, sizeof(target));
    }
    SECTRACE_FormatLn(nullptr, 2, "ZELK: user switch done successful, running as uid: %d", getuid());
    return trace.result = S_OK;
}

ServerUNIX::ServerUNIX()
{
    m_family = AF_UNIX;
    m_protocol = 0;
    m_addressLength = UnixAddress(SocketPath(), &m_address);
}

ServerTCP::ServerTCP()
{
    m_family = AF_INET;
    m_protocol = IPPROTO_TCP;
    m_addressLength = LoopbackAddress(kServicePort, &m_address);
}

}  // namespace ZELK::PSESVC::COMSOCK

#include "client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "comsock_framed.h"
#include "comsock_io.h"
#include "comsock_peer.h"
#include "server.h"
#include "zelk_alloc.h"
#include "zelk_loader.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::COMSOCK {

namespace {

constexpr unsigned long kFirstBuffer = 512;
constexpr int kStartAttempts = 100;
constexpr int kStartPause = 10;

std::atomic<uint64_t> s_nextObjectId {1};

std::mutex s_appLock;
std::string s_appPath;

std::string ApplicationPath()
{
    {
        std::lock_guard<std::mutex> lock(s_appLock);
        if (!s_appPath.empty())
            return s_appPath;
    }
    const char* dir = ZELK_FindOwnModuleDir();
    std::string own = std::string(dir ? dir : ".") + "/KestrinClient";
    if (access(own.c_str(), X_OK) == 0)
        return own;
    return std::string(dir ? dir : ".") + "/../bin/KestrinClient";
}

// Starts `path` in a session of its own, not as this process's child, so
// that it outlives the client and leaves no zombie behind.
void LaunchDetached(const std::string& path)
{
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t child = fork();
    if (child == 0) {
        setsid();
        if (fork() != 0)
            _exit(0);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execv(argv[0], argv);
        _exit(127);
    }
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseFd(devnull);
}

}  // namespace

void SetApplicationPath(const char* path)
{
    std::lock_guard<std::mutex> lock(s_appLock);
    s_appPath = path ? path : "";
}

// The sockets of the calling thread, one per client object; a thread that
// ends closes the sockets that are still its own.
struct ThreadSocket {
    std::weak_ptr<Client::Sockets> sockets;
    int fd;
    uint64_t generation;
};

struct ThreadSockets {
    std::unordered_map<uint64_t, ThreadSocket> byObject;

    ~ThreadSockets()
    {
        for (auto& [object, slot] : byObject)
            Release(slot);
    }

    static void Release(const ThreadSocket& slot)
    {
        std::shared_ptr<Client::Sockets> sockets = slot.sockets.lock();
        if (!sockets)
            return;
        std::lock_guard<std::mutex> lock(sockets->lock);
        auto it = sockets->open.find(slot.fd);
        if (it != sockets->open.end() && it->second.first == slot.generation) {
            sockets->open.erase(it);
            CloseFd(slot.fd);
        }
    }

    // Slots of objects that are gone.
    void Prune()
    {
        for (auto it = byObject.begin(); it != byObject.end();)
            it = it->second.sockets.expired() ? byObject.erase(it) : std::next(it);
    }
};

namespace {
thread_local ThreadSockets t_sockets;
}

Client::Client() : m_objectId(s_nextObjectId++), m_sockets(std::make_shared<Sockets>())
{
    CreatePipeName();
}

Client::~Client()
{
    std::lock_guard<std::mutex> lock(m_sockets->lock);
    for (auto& [fd, state] : m_sockets->open)
        CloseFd(fd);
    m_sockets->open.clear();
}

HRESULT Client::CreatePipeName()
{
    char path[kSocketPathSize] = {};
    HRESULT hr = Server::CreateSocketPath(path);
    memcpy(m_socketPath, path, sizeof(path));
    m_singleUser = SingleUserName()[0] != 0;
    return FAILED(hr) ? S_FALSE : S_OK;
}

void Client::Forget(int fd, uint64_t generation)
{
    std::lock_guard<std::mutex> lock(m_sockets->lock);
    auto it = m_sockets->open.find(fd);
    if (it != m_sockets->open.end() && it->second.first == generation) {
        m_sockets->open.erase(it);
        CloseFd(fd);
    }
}

int Client::Connect()
{
    auto slot = t_sockets.byObject.find(m_objectId);
    if (slot != t_sockets.byObject.end()) {
        int fd = slot->second.fd;
        uint64_t generation = slot->second.generation;
        bool usable = false;
        {
            std::lock_guard<std::mutex> lock(m_sockets->lock);
            auto it = m_sockets->open.find(fd);
            usable = it != m_sockets->open.end() && it->second.first == generation && !it->second.second;
        }
        if (usable) {
            // Between exchanges nothing may arrive: anything readable means
            // the service closed the socket (or broke the protocol).
            pollfd state {fd, POLLIN | POLLRDHUP, 0};
            if (poll(&state, 1, 0) == 0)
                return fd;
        }
        Forget(fd, generation);
        t_sockets.byObject.erase(slot);
    }
    t_sockets.Prune();
    return NewSocket();
}

int Client::NewSocket()
{
    int fd = socket(m_family, m_type | SOCK_CLOEXEC, m_protocol);
    if (fd < 0) {
        SECTRACE_WriteLn(nullptr, 4, "invalid socket...");
        return -1;
    }
    int rc = 0;
    do
        rc = connect(fd, reinterpret_cast<sockaddr*>(&m_address), m_addressLength);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        if (error == EACCES)
            m_autoStart = false;
        SECTRACE_FormatLn(nullptr, 2, "connect failed with error code: %s, %s", strerror(error), m_socketPath);
        CloseFd(fd);
        if (m_autoStart.exchange(false))
            return Start();
        return -1;
    }
    if (!PeerAllowed(fd)) {
        SECTRACE_FormatLn(nullptr, 1, "socket %s is served by another user, refused", m_socketPath);
        m_autoStart = false;
        CloseFd(fd);
        return -1;
    }
    if (FAILED(Handshake(fd))) {
        CloseFd(fd);
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_sockets->lock);
    uint64_t generation = ++m_sockets->generation;
    m_sockets->open[fd] = {generation, false};
    t_sockets.byObject[m_objectId] = ThreadSocket {m_sockets, fd, generation};
    return fd;
}

// The service runs as the user; only a single-user service may run as root
// on the user's behalf.
bool Client::PeerAllowed(int fd)
{
    uid_t uid = 0;
    if (m_family == AF_UNIX) {
        PeerInfo peer;
        if (FAILED(GetPeerInfo(fd, &peer)))
            return false;
        uid = peer.uid;
    } else {
        char path[64];
        snprintf(path, sizeof(path), "/proc/%u", GetTcpPeerPid(fd));
        struct stat info {};
        if (stat(path, &info) != 0)
            return false;
        uid = info.st_uid;
    }
    return uid == geteuid() || (uid == 0 && m_singleUser);
}

HRESULT Client::Handshake(int fd)
{
    // The first session of the object is asked for once; the other threads
    // wait for it and present its id.
    std::unique_lock<std::mutex> first(m_firstHandshake, std::defer_lock);
    if (m_sessionId == 0)
        first.lock();
    uint32_t session = m_sessionId;
    uint32_t frame[2] = {sizeof(uint32_t), session};
    if (FAILED(WriteExact(fd, frame, sizeof(frame))))
        return E_FAIL;
    uint32_t length = 0;
    if (ReadExact(fd, &length, sizeof(length)) != S_OK || length != sizeof(uint32_t))
        return E_FAIL;
    uint32_t id = 0;
    if (ReadExact(fd, &id, sizeof(id)) != S_OK)
        return E_FAIL;
    if (id == 0) {
        if (session != 0) {
            SECTRACE_WriteLn(nullptr, 4, "socket is dead...");
            m_dead = true;
        }
        return E_FAIL;
    }
    if (session != 0 && id != session)
        return E_FAIL;
    m_sessionId = id;
    return S_OK;
}

int Client::Start()
{
    std::string path = ApplicationPath();
    SECTRACE_FormatLn(nullptr, 4, "try auto start of KestrinClient using the following commandline:\n%s", path.c_str());
    if (access(path.c_str(), X_OK) == 0)
        LaunchDetached(path);
    int fd = -1;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        fd = Connect();
        if (fd != -1)
            break;
        if (m_dead)
            break;
        Sleep(kStartPause);
    }
    return fd;
}

HRESULT Client::Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength)
{
    if (out == nullptr || outLength == nullptr || (in == nullptr && inLength != 0))
        return E_INVALIDARG;
    if (m_dead)
        return -1;
    if (inLength > GetFrameLimit())
        return E_INVALIDARG;
    int fd = Connect();
    if (fd == -1)
        return -1;
    unsigned char* buffer = *out;
    unsigned long capacity = *outLength;
    if (buffer == nullptr || capacity == 0) {
        buffer = static_cast<unsigned char*>(sec_malloc(kFirstBuffer));
        if (buffer == nullptr)
            return E_OUTOFMEMORY;
        sec_free(*out);
        *out = buffer;
        capacity = kFirstBuffer;
    }
    uint32_t length = static_cast<uint32_t>(inLength);
    bool ok = SUCCEEDED(WriteExact2(fd, &length, sizeof(length), in, inLength));
    uint32_t reply = 0;
    ok = ok && ReadExact(fd, &reply, sizeof(reply)) == S_OK && reply <= GetFrameLimit();
    if (ok && reply > capacity) {
        auto* grown = static_cast<unsigned char*>(sec_realloc(buffer, reply));
        ok = grown != nullptr;
        if (grown) {
            buffer = grown;
            *out = buffer;
        }
    }
    ok = ok && ReadExact(fd, buffer, reply) == S_OK;
    if (!ok) {
        DisconnectAll();
        return E_BROKEN_PIPE;
    }
    *outLength = reply;
    return S_OK;
}

HRESULT Client::DisconnectAll()
{
    // Other threads may be inside an exchange on their sockets: they are
    // woken, and each closes its own.
    std::lock_guard<std::mutex> lock(m_sockets->lock);
    for (auto& [fd, state] : m_sockets->open) {
        if (!state.second)
            shutdown(fd, SHUT_RDWR);
        state.second = true;
    }
    return S_OK;
}

HRESULT Client::Disconnect()
{
    return DisconnectAll();
}

HRESULT Client::GetType(char** type)
{
    if (type == nullptr)
        return -1;
    char text[sizeof(m_socketPath) + 32];
    int n = snprintf(text, sizeof(text), "%s%s\r\n", m_typeText, m_socketPath);
    auto* copy = static_cast<char*>(sec_malloc(static_cast<size_t>(n) + 1));
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    memcpy(copy, text, static_cast<size_t>(n) + 1);
    *type = copy;
    return S_OK;
}

ClientUNIX::ClientUNIX()
{
    m_family = AF_UNIX;
    m_type = SOCK_STREAM;
    m_protocol = 0;
    m_typeText = "to UNIX socket\r\n";
    m_addressLength = UnixAddress(SocketPath(), &m_address);
}

ClientTCP::ClientTCP()
{
    m_family = AF_INET;
    m_type = SOCK_STREAM;
    m_protocol = IPPROTO_TCP;
    m_typeText = "TCP socket : ";
    m_addressLength = LoopbackAddress(kServicePort, &m_address);
}

}  // namespace ZELK::PSESVC::COMSOCK

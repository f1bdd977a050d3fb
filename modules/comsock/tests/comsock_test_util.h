// Fakes of the neighbours the transport talks to (a tunnel, the service's
// factory with its session callbacks, a raw-server source with a port) and a
// raw socket driver that speaks the framed protocol byte by byte.
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "comsock_framed.h"
#include "zelk_alloc.h"
#include "zelk_classfactory.h"
#include "zelk_object.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::COMSOCK::test {

// Echoes each request as "<tag>:" + request; concurrent calls allowed.
class EchoTunnel : public ITunnel, public ITunnelControl, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(EchoTunnel)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_INTMAP_ENTRY(ITunnelControl)
    ZELK_END_INTMAP()

    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override
    {
        ++calls;
        std::string reply = tag + ":" + std::string(reinterpret_cast<char*>(in), inLength);
        if (emptyReply) {
            *outLength = 0;
            return 0;
        }
        if (reply.size() > *outLength) {
            auto* grown = static_cast<unsigned char*>(sec_malloc(reply.size()));
            if (!grown)
                return E_OUTOFMEMORY;
            sec_free(*out);
            *out = grown;
        }
        memcpy(*out, reply.data(), reply.size());
        *outLength = reply.size();
        return 0;
    }
    HRESULT Disconnect() override
    {
        ++disconnects;
        return 0;
    }
    bool CloseAfterTransact() override { return false; }
    HRESULT GetProperties(SECAttribute*) override { return 0; }
    HRESULT SetProperties(SECAttribute* a) override
    {
        if (a && a->id == ATTR_CLIENT_PID && a->value)
            pid = *static_cast<uint32_t*>(a->value);
        return 0;
    }

    std::string tag = "t";
    bool emptyReply = false;
    std::atomic<int> calls {0};
    std::atomic<int> disconnects {0};
    std::atomic<uint32_t> pid {0};
};

// Replaces the reply buffer once with a block of spare room and answers 20000
// bytes; every later reply grows into that room, 60000 bytes at the same
// address, as a tunnel whose sec_realloc kept the address answers. (The
// sanitizer build's realloc always moves, so the room is used directly.)
class GrowInPlaceTunnel : public ITunnel, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(GrowInPlaceTunnel)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_END_INTMAP()

    static constexpr unsigned long kFirst = 20000;
    static constexpr unsigned long kLater = 60000;

    HRESULT Transact(unsigned char*, unsigned long, unsigned char** out, unsigned long* outLength) override
    {
        unsigned long length = kLater;
        if (*out != m_block) {
            m_block = static_cast<unsigned char*>(sec_malloc(kLater));
            if (!m_block)
                return E_OUTOFMEMORY;
            sec_free(*out);
            *out = m_block;
            length = kFirst;
        }
        memset(*out, 'g', length);
        *outLength = length;
        return 0;
    }
    HRESULT Disconnect() override { return 0; }

private:
    unsigned char* m_block = nullptr;
};

// The service's factory: a new echo tunnel per session, and the session
// notices recorded as "connect:<name>:<pid>" and so on.
class Factory : public IClassFactory, public ITunnelCallback, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Factory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_INTMAP_ENTRY(ITunnelCallback)
    ZELK_END_INTMAP()

    HRESULT CreateInstance(IUnknown*, const GUID& iid, void** out) override
    {
        if (refuse)
            return 0;
        CComObject<EchoTunnel>* tunnel = nullptr;
        CComObject<EchoTunnel>::CreateInstance(&tunnel);
        tunnel->tag = "s" + std::to_string(++made);
        tunnel->AddRef();
        HRESULT hr = tunnel->QueryInterface(iid, out);
        tunnel->Release();
        return hr;
    }
    HRESULT LockServer(bool) override { return 0; }
    HRESULT SetTunnelSource(IUnknown* s) override
    {
        source = s;
        return 0;
    }
    HRESULT Reset(ITunnel*) override { return 0; }
    HRESULT ClientConnect(const char* p, unsigned int pid) override { return Note("connect", p, pid); }
    HRESULT ClientDisconnect(const char* p, unsigned int pid) override { return Note("disconnect", p, pid); }
    HRESULT ClientActive(const char* p, unsigned int pid) override { return Note("active", p, pid); }

    std::vector<std::string> Notes()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_notes;
    }
    int Count(const std::string& prefix)
    {
        int n = 0;
        for (auto& note : Notes())
            n += note.rfind(prefix, 0) == 0;
        return n;
    }

    std::atomic<int> made {0};
    std::atomic<bool> refuse {false};
    std::atomic<IUnknown*> source {nullptr};

private:
    HRESULT Note(const char* kind, const char* process, unsigned pid)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_notes.push_back(std::string(kind) + ":" + process + ":" + std::to_string(pid));
        return 0;
    }
    std::mutex m_lock;
    std::vector<std::string> m_notes;
};

// Holds one reference to a new object of class T.
template <class T>
class Ref {
public:
    Ref()
    {
        CComObject<T>::CreateInstance(&m_p);
        m_p->AddRef();
    }
    ~Ref() { m_p->Release(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    CComObject<T>* operator->() const { return m_p; }
    CComObject<T>* get() const { return m_p; }

private:
    CComObject<T>* m_p = nullptr;
};

// A raw client socket on a Unix-domain path.
class Raw {
public:
    explicit Raw(const char* path)
    {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, path, strnlen(path, sizeof(address.sun_path) - 1));
        connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        timeval limit {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    // Takes an accepted socket.
    explicit Raw(int accepted) : fd(accepted), connected(true) {}
    ~Raw() { close(fd); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;

    void Send(const std::string& bytes)
    {
        ASSERT_EQ(ssize_t(bytes.size()), send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    void SendFrame(const std::string& body)
    {
        uint32_t n = static_cast<uint32_t>(body.size());
        Send(std::string(reinterpret_cast<char*>(&n), 4) + body);
    }
    // 0 when the session id came back, else what came back (0 for a refusal).
    uint32_t Handshake(uint32_t id)
    {
        SendFrame(std::string(reinterpret_cast<char*>(&id), 4));
        std::string reply;
        if (!ReadFrame(&reply) || reply.size() != 4)
            return 0xFFFFFFFF;
        uint32_t answer = 0;
        memcpy(&answer, reply.data(), 4);
        return answer;
    }
    bool ReadExact(void* p, size_t n)
    {
        auto* b = static_cast<char*>(p);
        while (n) {
            ssize_t got = recv(fd, b, n, 0);
            if (got <= 0)
                return false;
            b += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    bool ReadFrame(std::string* body)
    {
        uint32_t n = 0;
        if (!ReadExact(&n, 4))
            return false;
        body->resize(n);
        return ReadExact(body->data(), n);
    }
    // True when the service closed the socket with nothing more sent (end of
    // stream, or a reset when it left unread bytes behind).
    bool Closed()
    {
        char c;
        ssize_t n = recv(fd, &c, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    int fd = -1;
    bool connected = false;
};

inline std::string U32(uint32_t v)
{
    return std::string(reinterpret_cast<char*>(&v), 4);
}

// Microseconds on the monotonic clock.
inline int64_t NowUs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Waits up to `ms` for `done`.
template <class F>
bool WaitFor(F done, int ms = 3000)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (done())
            return true;
        usleep(5000);
    }
    return done();
}

// One exchange through `client`: the reply, or "<failed>".
inline std::string Exchange(ITunnel* client, const std::string& request)
{
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    HRESULT hr = client->Transact(reinterpret_cast<unsigned char*>(const_cast<char*>(request.data())), request.size(),
                                  &buffer, &length);
    std::string reply = hr == S_OK ? std::string(reinterpret_cast<char*>(buffer), length) : "<failed>";
    sec_free(buffer);
    return reply;
}

// A forked child's exit status (0 success), the child running `body`.
template <class F>
int InChild(F body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Makes the calling process that user and group alone; 0 on success.
inline int DropTo(uid_t uid, gid_t gid)
{
    gid_t groups[] = {gid};
    return setgroups(1, groups) == 0 && setgid(gid) == 0 && setuid(uid) == 0 ? 0 : 1;
}

}  // namespace ZELK::PSESVC::COMSOCK::test

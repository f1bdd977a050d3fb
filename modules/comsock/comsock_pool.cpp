#include "comsock_pool.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "comsock_io.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::COMSOCK {

AcceptPool::AcceptPool(IAcceptHandler* handler, const char* traceModule) : m_handler(handler), m_trace(traceModule) {}

AcceptPool::~AcceptPool()
{
    Stop();
    Join();
}

void AcceptPool::SetLimits(const PoolLimits& limits)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_limits = limits;
    m_limits.maxThreads = std::max(1u, m_limits.maxThreads);
}

HRESULT AcceptPool::Start(int listenFd)
{
    bool spawn = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_listen = listenFd;
        m_stopping = false;
        spawn = m_waiting == 0;
    }
    if (!m_watcher) {
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wake < 0 || FAILED(ZELK::Thread::Create(&m_watcher, this, &AcceptPool::Watch)) || !m_watcher) {
            CloseFd(m_wake);
            m_wake = -1;
            return E_OUTOFMEMORY;
        }
    }
    return spawn ? Spawn() : S_OK;
}

// Waits for what the handler watches, and, while every thread is busy, for
// clients that wait in the listening socket's queue: the connection idle
// longest is then closed to make room.
unsigned AcceptPool::Watch()
{
    int watched = m_handler->WatchFd();
    bool pause = false;
    while (!IsStopping()) {
        pause = pause || BackingOff() > 0;
        int queue = pause ? -1 : Saturated();
        pollfd ready[3] = {{m_wake, POLLIN, 0}, {watched, POLLIN, 0}, {queue, POLLIN, 0}};
        int n = poll(ready, 3, pause ? kEvictRetryMs : -1);
        pause = false;
        if (n < 0) {
            if (errno != EINTR)
                Sleep(kEvictRetryMs);
            continue;
        }
        uint64_t count = 0;
        if (ready[0].revents && read(m_wake, &count, sizeof(count)) < 0)
            continue;
        if (IsStopping())
            break;
        if (ready[1].revents)
            m_handler->Watched();
        // Nothing idle to close: every thread is inside a message; look
        // again shortly.
        if (ready[2].revents && !EvictIdlest())
            pause = true;
    }
    return 0;
}

// The listening socket while every thread is busy and none is being freed;
// -1 otherwise.
int AcceptPool::Saturated()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return IsFull() && NowMs() >= m_backOffUntil ? m_listen : -1;
}

// Every thread serves a connection (none waits in accept, is on its way
// there, or was woken to make room).
bool AcceptPool::IsFull() const
{
    if (m_evicting > 0 || m_workers.size() < m_limits.maxThreads)
        return false;
    return std::all_of(m_workers.begin(), m_workers.end(), [](const Worker* worker) { return worker->served; });
}

bool AcceptPool::EvictIdlest()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!IsFull())
        return true;
    Served* idlest = nullptr;
    int64_t since = 0;
    for (Worker* worker : m_workers) {
        int64_t idle = worker->served ? worker->served->IdleSince() : -1;
        if (idle >= 0 && (idlest == nullptr || idle < since)) {
            idlest = worker->served;
            since = idle;
        }
    }
    if (idlest == nullptr)
        return false;
    // The client may have begun a message meanwhile: then another is chosen.
    if (idlest->Evict(since)) {
        ++m_evicting;
        shutdown(idlest->fd, SHUT_RDWR);
        SECTRACE_FormatLn(m_trace, 3, "connection idle for %lld ms closed to make room",
                          static_cast<long long>(NowMs() - since));
    }
    return true;
}

void AcceptPool::Stop()
{
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_stopping = true;
        if (m_listen >= 0)
            shutdown(m_listen, SHUT_RDWR);
        for (Worker* worker : m_workers)
            if (worker->served)
                shutdown(worker->served->fd, SHUT_RDWR);
        m_changed.wait(lock, [this] { return m_waiting == 0; });
        WakeWatcher();
    }
    if (m_watcher) {
        m_watcher.Wait(-1);
        std::lock_guard<std::mutex> lock(m_lock);
        CloseFd(m_wake);
        m_wake = -1;
    }
    int listenFd = -1;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        listenFd = m_listen;
        m_listen = -1;
    }
    CloseFd(listenFd);
}

void AcceptPool::WakeWatcher()
{
    uint64_t one = 1;
    if (m_wake >= 0 && write(m_wake, &one, sizeof(one)) < 0)
        SECTRACE_FormatLn(m_trace, 1, "pool watcher can not be woken: %s", strerror(errno));
}

void AcceptPool::Join()
{
    for (;;) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return !m_finished.empty() || m_workers.empty(); });
        bool done = m_workers.empty();
        lock.unlock();
        Reap();
        if (done)
            return;
    }
}

bool AcceptPool::Relisten()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_listen >= 0 && listen(m_listen, kListenBacklog) == 0;
}

// Read by every served frame: no lock.
bool AcceptPool::IsStopping()
{
    return m_stopping;
}

bool AcceptPool::IsListening()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_listen >= 0;
}

unsigned AcceptPool::Running()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<unsigned>(m_workers.size());
}

unsigned AcceptPool::Waiting()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_waiting;
}

void AcceptPool::Reap()
{
    std::vector<Worker*> finished;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        finished.swap(m_finished);
    }
    for (Worker* worker : finished) {
        worker->thread.Wait(-1);
        delete worker;
    }
}

HRESULT AcceptPool::Spawn()
{
    Reap();
    auto* worker = new (std::nothrow) Worker();
    if (worker)
        worker->pool = this;
    if (worker == nullptr)
        return E_OUTOFMEMORY;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_stopping || m_workers.size() >= m_limits.maxThreads) {
            delete worker;
            return S_FALSE;
        }
        m_workers.push_back(worker);
    }
    HRESULT hr = ZELK::Thread::Create(&worker->thread, worker, &Worker::Run);
    if (FAILED(hr) || !worker->thread) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_workers.erase(std::find(m_workers.begin(), m_workers.end(), worker));
        delete worker;
        m_changed.notify_all();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// Waits for a client on the listening socket while the pool runs; the
// accepted socket, or -1 when the pool stops.
int AcceptPool::AcceptOne(int listenFd)
{
    while (!IsStopping()) {
        int64_t pause = BackingOff();
        if (pause > 0) {
            Sleep(static_cast<unsigned>(pause));
            continue;
        }
        pollfd ready {listenFd, POLLIN, 0};
        int n = poll(&ready, 1, 100);
        if (n <= 0 || IsStopping())
            continue;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return fd;
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
            continue;
        if (IsStopping())
            break;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            BackOff(error);
            continue;
        }
        SECTRACE_FormatLn(m_trace, 1, "accept failed with error code: %s (%u,%u)", strerror(error), Running(),
                          Waiting());
        Sleep(100);
    }
    return -1;
}

// Out of descriptors or memory: no thread accepts for a while, and no
// connection is closed to make room; the served ones go on.
void AcceptPool::BackOff(int error)
{
    std::lock_guard<std::mutex> lock(m_lock);
    int64_t now = NowMs();
    if (now >= m_backOffUntil)
        SECTRACE_FormatLn(m_trace, 1, "accept failed with error code: %s (%u,%u), accepting again in %d ms",
                          strerror(error), static_cast<unsigned>(m_workers.size()), m_waiting, kAcceptBackOffMs);
    m_backOffUntil = now + kAcceptBackOffMs;
}

// The milliseconds left of a back-off, or 0.
int64_t AcceptPool::BackingOff()
{
    std::lock_guard<std::mutex> lock(m_lock);
    int64_t left = m_backOffUntil - NowMs();
    return left > 0 ? left : 0;
}

unsigned AcceptPool::Worker::Run()
{
    FrameBuffer buffer;
    bool evicted = false;
    for (;;) {
        int listenFd = -1;
        bool spawn = false;
        ServeLimits limits;
        {
            std::lock_guard<std::mutex> lock(pool->m_lock);
            // Back in accept: the room made for the next client is there.
            pool->m_evicting -= evicted ? 1 : 0;
            evicted = false;
            if (pool->m_stopping || pool->m_listen < 0 || pool->m_waiting >= pool->m_limits.maxWaiting) {
                pool->Finished(this);
                return 0;
            }
            ++pool->m_waiting;
            spawn = pool->m_waiting < pool->m_limits.minWaiting;
            listenFd = pool->m_listen;
            limits = pool->m_limits;
        }
        if (spawn)
            pool->Spawn();
        int client = pool->AcceptOne(listenFd);
        Served connection(client, limits, NowMs());
        {
            std::lock_guard<std::mutex> lock(pool->m_lock);
            --pool->m_waiting;
            pool->m_changed.notify_all();
            spawn = pool->m_waiting < pool->m_limits.minWaiting;
            if (pool->m_stopping || client < 0) {
                CloseFd(client);
                pool->Finished(this);
                return 0;
            }
            served = &connection;
            if (pool->IsFull())
                pool->WakeWatcher();
        }
        if (spawn)
            pool->Spawn();
        // Waiting for the client between messages ends at the idle time-out;
        // every other wait keeps a deadline of its own.
        timeval idle {limits.idleMs / 1000, (limits.idleMs % 1000) * 1000};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof(idle));
        pool->m_handler->Serve(connection, buffer);
        {
            std::lock_guard<std::mutex> lock(pool->m_lock);
            served = nullptr;
            evicted = connection.Evicted();
        }
        CloseFd(client);
    }
}

// A thread that ends no longer counts from the moment it decides to; Join or
// the next Spawn waits for it and frees it.
void AcceptPool::Finished(Worker* worker)
{
    m_workers.erase(std::find(m_workers.begin(), m_workers.end(), worker));
    m_finished.push_back(worker);
    m_changed.notify_all();
}

}  // namespace ZELK::PSESVC::COMSOCK

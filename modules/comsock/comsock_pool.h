// The accept-and-serve threads of one listening socket. Between 5 and 10
// threads wait in accept (another starts when fewer wait, one ends when more
// wait), no more than a fixed number of threads exist, and every served
// socket keeps the deadlines of its limits. When every thread is busy and a
// client waits in the queue, the connection idle longest (before its first
// message or between two) is closed to make room, so idle connections never
// starve a live client. Sockets are closed only by the thread that owns them;
// others wake it with shutdown.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "comsock_framed.h"
#include "zelk_result.h"
#include "zelk_sync.h"

namespace ZELK::PSESVC::COMSOCK {

// How soon the watcher looks again for a connection to close when every
// thread is inside a message.
constexpr int kEvictRetryMs = 100;

// When accept finds no descriptor (or no memory) left, the pool waits this
// long before it accepts again.
constexpr int kAcceptBackOffMs = 100;

// Every listening socket queues as many connections as the system allows,
// so that a burst of clients is not refused.
constexpr int kListenBacklog = SOMAXCONN;

struct PoolLimits : ServeLimits {
    unsigned minWaiting = 5;
    unsigned maxWaiting = 10;
    unsigned maxThreads = 64;
};

// Serves one accepted socket on a pool thread; `buffer` is that thread's own.
class IAcceptHandler {
public:
    virtual void Serve(Served& connection, FrameBuffer& buffer) = 0;
    // A descriptor that the pool's watcher waits on (-1: none), and what is
    // to be done when it is readable.
    virtual int WatchFd() { return -1; }
    virtual void Watched() {}

protected:
    ~IAcceptHandler() = default;
};

class AcceptPool {
public:
    AcceptPool(IAcceptHandler* handler, const char* traceModule);
    ~AcceptPool();
    AcceptPool(const AcceptPool&) = delete;
    AcceptPool& operator=(const AcceptPool&) = delete;

    // Takes the listening socket (non-blocking), clears the stop, starts the
    // watcher and a thread when none waits in accept. 0x8007000E when no
    // thread can start.
    HRESULT Start(int listenFd);
    // Stops accepting and watching, wakes every served socket, and closes the
    // listening socket once no thread waits on it. Threads end on their own.
    void Stop();
    // Waits until every thread has ended.
    void Join();
    // Listens again on the open listening socket, so that clients connecting
    // from now on see the process's present credentials. False without one.
    bool Relisten();

    bool IsStopping();
    bool IsListening();
    unsigned Running();
    unsigned Waiting();

    void SetLimits(const PoolLimits& limits);

private:
    struct Worker {
        AcceptPool* pool = nullptr;
        ZELK::Thread thread;
        Served* served = nullptr;  // the connection being served
        unsigned Run();
    };

    unsigned Watch();
    int Saturated();
    bool IsFull() const;
    void Finished(Worker* worker);
    bool EvictIdlest();
    void WakeWatcher();
    HRESULT Spawn();
    void Reap();
    int AcceptOne(int listenFd);
    void BackOff(int error);
    int64_t BackingOff();

    IAcceptHandler* m_handler;
    const char* m_trace;
    std::mutex m_lock;
    std::condition_variable m_changed;
    PoolLimits m_limits;
    int m_listen = -1;
    std::atomic<bool> m_stopping {false};
    unsigned m_waiting = 0;
    unsigned m_evicting = 0;  // threads woken to make room, not yet back
    int64_t m_backOffUntil = 0;
    std::vector<Worker*> m_workers;
    std::vector<Worker*> m_finished;
    // The watcher thread, woken through an event descriptor.
    ZELK::Thread m_watcher;
    int m_wake = -1;
};

}  // namespace ZELK::PSESVC::COMSOCK

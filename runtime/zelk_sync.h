// Locks, events, threads and thread-local slots over POSIX threads, plus the
// counting functions of the object model. Each deliverable compiles its own copy.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "zelk_result.h"

extern "C" {
// Add or subtract one under the deliverable's counting lock; return the new value.
long InterlockedIncrement(long* value);
long InterlockedDecrement(long* value);
// Adds one unless the value is 0 (an object already on its way out); returns
// the new value, or 0 when nothing was added.
long InterlockedIncrementUnlessZero(long* value);
// Blocks the calling thread; the value is taken as unsigned.
void Sleep(int milliseconds);
}

namespace ZELK {

// Recursive lock with an owner. The constructor is constexpr so that a lock
// with static storage is ready before any static constructor runs.
class CriticalSection {
public:
    constexpr CriticalSection() noexcept = default;
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    // Ignored unless the calling thread owns the lock.
    void Leave();
    bool IsOwnedByCurrentThread() const;

private:
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    // Written only by the owning thread while it holds the mutex; another thread
    // can never read its own identity here, so a relaxed owner read is enough
    // once the flag has been read with acquire.
    std::atomic<pthread_t> m_owner {};
    std::atomic<bool> m_owned {false};
    int64_t m_count = 0;
};

// Scoped guard: leaves on destruction what it entered.
class CriticalCodeSection {
public:
    CriticalCodeSection(CriticalSection* cs, bool enter = true);
    ~CriticalCodeSection();
    CriticalCodeSection(const CriticalCodeSection&) = delete;
    CriticalCodeSection& operator=(const CriticalCodeSection&) = delete;

    void Enter();
    void Leave();

private:
    bool m_entered = false;
    CriticalSection* m_cs;
};

class ISignal {
public:
    virtual void Signal() = 0;

protected:
    ~ISignal() = default;
};

// Auto-reset event: one Signal releases one Wait; a Signal without a waiter
// stays set for the next Wait. Time-outs run on the monotonic clock.
class Event : public ISignal {
public:
    Event();
    virtual ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Signal() override;
    void Reset();
    // -1 waits without time-out. Returns true when signalled, false on time-out.
    bool Wait(int milliseconds);

private:
    bool m_signalled = false;
    pthread_cond_t m_cond;
    pthread_mutex_t m_mutex;
};

// Handle of a thread that can be waited for with a time-out by several threads.
class Thread {
public:
    typedef unsigned (*StartFunction)(void*);
    static const pthread_t HandleNull;

    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts a thread: joinable with a Thread object (which receives the
    // handle), detached without one. A failure to start is reported and leaves
    // the object empty.
    static HRESULT Create(Thread* thread, StartFunction start, void* argument);
    static HRESULT Create(StartFunction start, void* argument) { return Create(nullptr, start, argument); }
    template <class T>
    static HRESULT Create(Thread* thread, T* object, unsigned (T::*member)());

    // -1 waits without time-out. True when the thread has ended; the handle is
    // then closed. An empty handle gives false.
    bool Wait(int milliseconds);
    void Close();
    void Kill() {}
    // The start function's result, known once Wait has returned true.
    unsigned ExitCode() const { return m_exitCode; }

    bool operator!() const;
    explicit operator bool() const { return !!*this; }

    struct ThreadInfo {
        ThreadInfo* next;
        pthread_t handle;
        StartFunction start;
        void* argument;
        uint64_t exitCode;
        int64_t waiters;
        int64_t refs;
        uint8_t inList;
        uint8_t finished;
        uint8_t hasHandle;
        pthread_cond_t cond;
    };

private:
    template <class T>
    struct MemberCall {
        T* object;
        unsigned (T::*member)();
    };
    template <class T>
    static unsigned ThreadProcClass(void* block);

    static void* ThreadProc(void* info);
    static void ReleaseThreadInfo(ThreadInfo* info);

    pthread_t m_handle {};
    ThreadInfo* m_info = nullptr;
    unsigned m_exitCode = 0;
};

template <class T>
unsigned Thread::ThreadProcClass(void* block)
{
    MemberCall<T> call = *static_cast<MemberCall<T>*>(block);
    free(block);
    return (call.object->*call.member)();
}

template <class T>
HRESULT Thread::Create(Thread* thread, T* object, unsigned (T::*member)())
{
    auto* block = static_cast<MemberCall<T>*>(malloc(sizeof(MemberCall<T>)));
    if (!block)
        return E_OUTOFMEMORY;
    block->object = object;
    block->member = member;
    HRESULT hr = Create(thread, &Thread::ThreadProcClass<T>, block);
    if (FAILED(hr))
        free(block);
    return hr;
}

// One thread-local slot; NULL for every thread until it sets its value.
class Tls {
public:
    Tls();
    ~Tls();
    Tls(const Tls&) = delete;
    Tls& operator=(const Tls&) = delete;

    HRESULT Set(void* value);
    void* Get() const;

private:
    pthread_key_t m_key {};
    bool m_valid = false;
};

}  // namespace ZELK

#include "zelk_sync.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace {

// Every count of every object of this deliverable goes through this one lock.
constinit ZELK::CriticalSection s_countLock;

timespec DeadlineAfter(unsigned milliseconds)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += milliseconds / 1000;
    now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (now.tv_nsec >= 1000000000L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

// A negative time-out other than -1 is treated as "do not wait".
timespec DeadlineFor(int milliseconds)
{
    return DeadlineAfter(milliseconds < 0 ? 0u : static_cast<unsigned>(milliseconds));
}

// Condition variables whose timed waits run on the monotonic clock, so that a
// change of the wall clock neither stretches nor cuts a wait.
int InitMonotonicCond(pthread_cond_t* cond)
{
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

// Guards the list of joinable threads, every ThreadInfo's counters and flags,
// the fields of every Thread object, and the waits.
pthread_mutex_t s_threadLock = PTHREAD_MUTEX_INITIALIZER;
ZELK::Thread::ThreadInfo* s_pThreads = nullptr;

class ThreadListLock {
public:
    ThreadListLock() { pthread_mutex_lock(&s_threadLock); }
    ~ThreadListLock() { pthread_mutex_unlock(&s_threadLock); }
    ThreadListLock(const ThreadListLock&) = delete;
    ThreadListLock& operator=(const ThreadListLock&) = delete;
};

void Unlink(ZELK::Thread::ThreadInfo* info)
{
    for (ZELK::Thread::ThreadInfo** p = &s_pThreads; *p; p = &(*p)->next) {
        if (*p == info) {
            *p = info->next;
            break;
        }
    }
    info->next = nullptr;
    info->inList = 0;
}

}  // namespace

extern "C" long InterlockedIncrement(long* value)
{
    ZELK::CriticalCodeSection lock(&s_countLock);
    return ++*value;
}

extern "C" long InterlockedDecrement(long* value)
{
    ZELK::CriticalCodeSection lock(&s_countLock);
    return --*value;
}

extern "C" long InterlockedIncrementUnlessZero(long* value)
{
    ZELK::CriticalCodeSection lock(&s_countLock);
    return *value == 0 ? 0 : ++*value;
}

extern "C" void Sleep(int milliseconds)
{
    timespec deadline = DeadlineAfter(static_cast<unsigned>(milliseconds));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

namespace ZELK {

// ---- CriticalSection -------------------------------------------------------

CriticalSection::~CriticalSection()
{
    pthread_mutex_destroy(&m_mutex);
}

bool CriticalSection::IsOwnedByCurrentThread() const
{
    return m_owned.load(std::memory_order_acquire)
           && pthread_equal(m_owner.load(std::memory_order_relaxed), pthread_self());
}

void CriticalSection::Enter()
{
    if (IsOwnedByCurrentThread()) {
        ++m_count;
        return;
    }
    pthread_mutex_lock(&m_mutex);
    m_owner.store(pthread_self(), std::memory_order_relaxed);
    m_owned.store(true, std::memory_order_release);
    m_count = 1;
}

void CriticalSection::Leave()
{
    if (!IsOwnedByCurrentThread() || m_count == 0)
        return;
    if (--m_count == 0) {
        m_owned.store(false, std::memory_order_release);
        pthread_mutex_unlock(&m_mutex);
    }
}

// ---- CriticalCodeSection ---------------------------------------------------

CriticalCodeSection::CriticalCodeSection(CriticalSection* cs, bool enter) : m_cs(cs)
{
    if (enter)
        Enter();
}

CriticalCodeSection::~CriticalCodeSection()
{
    Leave();
}

void CriticalCodeSection::Enter()
{
    if (m_entered || !m_cs)
        return;
    m_cs->Enter();
    m_entered = true;
}

void CriticalCodeSection::Leave()
{
    if (!m_entered)
        return;
    m_entered = false;
    m_cs->Leave();
}

// ---- Event -----------------------------------------------------------------

Event::Event()
{
    pthread_mutex_init(&m_mutex, nullptr);
    InitMonotonicCond(&m_cond);
}

Event::~Event()
{
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void Event::Signal()
{
    pthread_mutex_lock(&m_mutex);
    m_signalled = true;
    pthread_cond_signal(&m_cond);
    pthread_mutex_unlock(&m_mutex);
}

void Event::Reset()
{
    pthread_mutex_lock(&m_mutex);
    m_signalled = false;
    pthread_mutex_unlock(&m_mutex);
}

bool Event::Wait(int milliseconds)
{
    pthread_mutex_lock(&m_mutex);
    if (milliseconds == -1) {
        while (!m_signalled)
            pthread_cond_wait(&m_cond, &m_mutex);
    } else {
        timespec deadline = DeadlineFor(milliseconds);
        while (!m_signalled) {
            if (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) == ETIMEDOUT)
                break;
        }
    }
    bool signalled = m_signalled;
    m_signalled = false;
    pthread_mutex_unlock(&m_mutex);
    return signalled;
}

// ---- Thread ----------------------------------------------------------------

const pthread_t Thread::HandleNull {};

Thread::~Thread()
{
    Close();
}

bool Thread::operator!() const
{
    ThreadListLock lock;
    return m_info == nullptr;
}

HRESULT Thread::Create(Thread* thread, StartFunction start, void* argument)
{
    if (!start)
        return E_INVALIDARG;
    auto* info = static_cast<ThreadInfo*>(calloc(1, sizeof(ThreadInfo)));
    if (!info)
        return E_OUTOFMEMORY;
    if (InitMonotonicCond(&info->cond) != 0) {
        free(info);
        return E_FAIL;
    }
    info->start = start;
    info->argument = argument;
    info->refs = 1;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        pthread_cond_destroy(&info->cond);
        free(info);
        return E_FAIL;
    }
    if (thread) {
        thread->Close();
        info->refs = 2;
        ThreadListLock lock;
        info->inList = 1;
        info->next = s_pThreads;
        s_pThreads = info;
    } else {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    }

    pthread_t handle {};
    int rc = pthread_create(&handle, &attr, &Thread::ThreadProc, info);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // Nothing runs: drop the bookkeeping so that no Wait can block on it.
        if (thread) {
            ThreadListLock lock;
            Unlink(info);
        }
        pthread_cond_destroy(&info->cond);
        free(info);
        return rc == EAGAIN ? E_OUTOFMEMORY : E_FAIL;
    }
    if (thread) {
        ThreadListLock lock;
        info->handle = handle;
        info->hasHandle = 1;
        thread->m_handle = handle;
        thread->m_info = info;
        thread->m_exitCode = 0;
    }
    return S_OK;
}

void* Thread::ThreadProc(void* param)
{
    auto* info = static_cast<ThreadInfo*>(param);
    unsigned result = info->start(info->argument);
    {
        ThreadListLock lock;
        info->exitCode = result;
        info->finished = 1;
        if (info->waiters > 0)
            pthread_cond_broadcast(&info->cond);
    }
    ReleaseThreadInfo(info);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

void Thread::ReleaseThreadInfo(ThreadInfo* info)
{
    bool last = false;
    bool detach = false;
    pthread_t handle {};
    {
        ThreadListLock lock;
        last = --info->refs == 0;
        if (last) {
            if (info->inList)
                Unlink(info);
            detach = info->hasHandle;
            handle = info->handle;
        }
    }
    if (!last)
        return;
    if (detach)
        pthread_detach(handle);
    pthread_cond_destroy(&info->cond);
    free(info);
}

bool Thread::Wait(int milliseconds)
{
    ThreadInfo* info = nullptr;
    bool finished = false;
    bool join = false;
    pthread_t handle {};
    {
        ThreadListLock lock;
        info = m_info;
        if (!info)
            return false;
        if (info->finished) {
            m_exitCode = static_cast<unsigned>(info->exitCode);
            finished = true;
            // Joined, not detached: a waiter returns only once the thread is
            // gone, so nothing of it is left running at process exit.
            if (info->waiters == 0 && info->hasHandle) {
                join = true;
                handle = info->handle;
                info->hasHandle = 0;
            }
            info = nullptr;
        } else {
            ++info->refs;
            ++info->waiters;
            if (milliseconds == -1) {
                while (!info->finished)
                    pthread_cond_wait(&info->cond, &s_threadLock);
            } else {
                timespec deadline = DeadlineFor(milliseconds);
                while (!info->finished) {
                    if (pthread_cond_timedwait(&info->cond, &s_threadLock, &deadline) == ETIMEDOUT)
                        break;
                }
            }
            --info->waiters;
            finished = info->finished;
            if (finished) {
                m_exitCode = static_cast<unsigned>(info->exitCode);
                // The last waiter after the end joins the thread; nobody else will.
                if (info->waiters == 0 && info->hasHandle) {
                    join = true;
                    handle = info->handle;
                    info->hasHandle = 0;
                }
            }
        }
    }
    if (info)
        ReleaseThreadInfo(info);
    if (join)
        pthread_join(handle, nullptr);
    if (finished)
        Close();
    return finished;
}

void Thread::Close()
{
    ThreadInfo* info = nullptr;
    {
        ThreadListLock lock;
        info = m_info;
        m_info = nullptr;
        m_handle = HandleNull;
    }
    if (info)
        ReleaseThreadInfo(info);
}

// ---- Tls -------------------------------------------------------------------

Tls::Tls()
{
    m_valid = pthread_key_create(&m_key, nullptr) == 0;
}

Tls::~Tls()
{
    if (m_valid)
        pthread_key_delete(m_key);
}

HRESULT Tls::Set(void* value)
{
    if (!m_valid)
        return E_FAIL;
    return pthread_setspecific(m_key, value) == 0 ? S_OK : E_OUTOFMEMORY;
}

void* Tls::Get() const
{
    return m_valid ? pthread_getspecific(m_key) : nullptr;
}

}  // namespace ZELK

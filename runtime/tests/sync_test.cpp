// Locks, events, threads and thread-local slots.
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "zelk_sync.h"

using namespace ZELK;
using Clock = std::chrono::steady_clock;

namespace {

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Polls until cond holds or about two seconds pass.
template <class F>
bool Eventually(F cond)
{
    for (int i = 0; i < 2000; ++i) {
        if (cond())
            return true;
        Sleep(1);
    }
    return cond();
}

TEST(SyncCriticalSection, RecursiveOwnerNeedsAsManyLeaves)
{
    CriticalSection cs;
    std::atomic<bool> otherIn {false};
    cs.Enter();
    cs.Enter();
    cs.Enter();
    EXPECT_TRUE(cs.IsOwnedByCurrentThread());
    std::thread other([&] {
        EXPECT_FALSE(cs.IsOwnedByCurrentThread());
        cs.Leave();  // not the owner: ignored
        cs.Enter();
        otherIn = true;
        cs.Leave();
    });
    cs.Leave();
    cs.Leave();
    Sleep(30);
    EXPECT_FALSE(otherIn.load());
    cs.Leave();
    other.join();
    EXPECT_TRUE(otherIn.load());
    EXPECT_FALSE(cs.IsOwnedByCurrentThread());
    cs.Leave();  // count 0: ignored, and the lock still works
    cs.Enter();
    cs.Leave();
}

TEST(SyncCriticalSection, GuardLeavesOnlyWhatItEntered)
{
    CriticalSection cs;
    {
        CriticalCodeSection guard(&cs, false);
        EXPECT_FALSE(cs.IsOwnedByCurrentThread());
        guard.Enter();
        guard.Enter();  // already entered by this guard: no second count
        EXPECT_TRUE(cs.IsOwnedByCurrentThread());
        guard.Leave();
        EXPECT_FALSE(cs.IsOwnedByCurrentThread());
        guard.Enter();
    }
    EXPECT_FALSE(cs.IsOwnedByCurrentThread());
}

TEST(SyncCriticalSection, SerialisesManyThreads)
{
    CriticalSection cs;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                CriticalCodeSection outer(&cs);
                CriticalCodeSection inner(&cs);
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
}

TEST(SyncCounting, InterlockedFromManyThreads)
{
    long value = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                InterlockedIncrement(&value);
                InterlockedIncrement(&value);
                InterlockedDecrement(&value);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(value, 20000);
    EXPECT_EQ(InterlockedIncrement(&value), 20001);
    EXPECT_EQ(InterlockedDecrement(&value), 20000);
}

TEST(SyncEvent, SignalWithoutWaiterStaysSetForOneWait)
{
    Event ev;
    EXPECT_FALSE(ev.Wait(0));
    ev.Signal();
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(ev.Wait(0));
    ev.Signal();
    ev.Reset();
    EXPECT_FALSE(ev.Wait(0));
}

TEST(SyncEvent, TimedWaitTimesOut)
{
    Event ev;
    auto start = Clock::now();
    EXPECT_FALSE(ev.Wait(30));
    EXPECT_GE(ElapsedMs(start), 30);
}

TEST(SyncEvent, TimedWaitWokenBySignal)
{
    Event ev;
    std::thread signaller([&] {
        Sleep(20);
        ev.Signal();
    });
    EXPECT_TRUE(ev.Wait(10000));
    signaller.join();
    EXPECT_FALSE(ev.Wait(0));
}

TEST(SyncEvent, EachSignalReleasesOneOfSeveralWaiters)
{
    for (int timeout : {-1, 10000}) {
        Event ev;
        std::atomic<int> released {0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                if (ev.Wait(timeout))
                    ++released;
            });
        }
        Sleep(30);
        EXPECT_EQ(released.load(), 0);
        ev.Signal();
        EXPECT_TRUE(Eventually([&] { return released.load() == 1; }));
        Sleep(30);
        EXPECT_EQ(released.load(), 1) << "timeout " << timeout;
        ev.Signal();
        EXPECT_TRUE(Eventually([&] { return released.load() == 2; }));
        ev.Signal();
        for (auto& w : waiters)
            w.join();
        EXPECT_EQ(released.load(), 3);
        EXPECT_FALSE(ev.Wait(0));
    }
}

unsigned ReturnArgument(void* arg)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg));
}

unsigned WaitThenReturn(void* arg)
{
    static_cast<Event*>(arg)->Wait(-1);
    return 7;
}

TEST(SyncThread, JoinableThreadGivesItsExitCode)
{
    Thread t;
    EXPECT_TRUE(!t);
    EXPECT_FALSE(t.Wait(-1));  // empty handle
    ASSERT_EQ(Thread::Create(&t, &ReturnArgument, reinterpret_cast<void*>(uintptr_t {0xCAFEu})), S_OK);
    EXPECT_TRUE(static_cast<bool>(t));
    EXPECT_TRUE(t.Wait(-1));
    EXPECT_EQ(t.ExitCode(), 0xCAFEu);
    EXPECT_TRUE(!t);
    EXPECT_FALSE(t.Wait(0));
}

TEST(SyncThread, WaitAfterTheEndClosesTheHandle)
{
    Thread t;
    ASSERT_EQ(Thread::Create(&t, &ReturnArgument, reinterpret_cast<void*>(uintptr_t {3})), S_OK);
    Sleep(30);
    EXPECT_TRUE(t.Wait(0));
    EXPECT_EQ(t.ExitCode(), 3u);
    EXPECT_TRUE(!t);
}

// A thread whose start routine has returned may still be ending (its
// thread-local objects go last); a Wait that sees the end returns only when
// the thread is gone, so that nothing of it runs on into the process's exit.
struct SlowToEnd {
    std::atomic<bool>* gone = nullptr;
    ~SlowToEnd()
    {
        if (!gone)
            return;
        Sleep(300);
        gone->store(true);
    }
};
thread_local SlowToEnd t_slowToEnd;

unsigned EndSlowly(void* gone)
{
    t_slowToEnd.gone = static_cast<std::atomic<bool>*>(gone);
    return 0;
}

TEST(SyncThread, WaitAfterTheEndReturnsOnceTheThreadIsGone)
{
    std::atomic<bool> gone {false};
    Thread t;
    ASSERT_EQ(Thread::Create(&t, &EndSlowly, &gone), S_OK);
    Sleep(100);
    EXPECT_TRUE(t.Wait(-1));
    EXPECT_TRUE(gone.load());
}

TEST(SyncThread, TimedWaitOnRunningThread)
{
    Event go;
    Thread t;
    ASSERT_EQ(Thread::Create(&t, &WaitThenReturn, &go), S_OK);
    auto start = Clock::now();
    EXPECT_FALSE(t.Wait(20));
    EXPECT_GE(ElapsedMs(start), 20);
    EXPECT_FALSE(!t);
    go.Signal();
    EXPECT_TRUE(t.Wait(10000));
    EXPECT_EQ(t.ExitCode(), 7u);
}

TEST(SyncThread, SeveralWaitersAllSeeTheEnd)
{
    Event go;
    Thread t;
    ASSERT_EQ(Thread::Create(&t, &WaitThenReturn, &go), S_OK);
    std::atomic<int> ready {0};
    std::atomic<int> ended {0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        int timeout = i % 2 ? -1 : 10000;
        waiters.emplace_back([&, timeout] {
            ++ready;
            if (t.Wait(timeout))
                ++ended;
        });
    }
    // Every waiter must be inside Wait before the end: the first to return
    // closes the shared handle, and a Wait on a closed handle gives false.
    EXPECT_TRUE(Eventually([&] { return ready.load() == 4; }));
    Sleep(50);
    EXPECT_EQ(ended.load(), 0);
    go.Signal();
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(ended.load(), 4);
    EXPECT_EQ(t.ExitCode(), 7u);
    EXPECT_TRUE(!t);
}

// Static: the thread outlives the handle and may still touch them.
Event s_go;
Event s_done;

TEST(SyncThread, ClosedHandleLetsTheThreadRunOn)
{
    {
        Thread t;
        ASSERT_EQ(Thread::Create(
                      &t,
                      [](void*) -> unsigned {
                          s_go.Wait(-1);
                          s_done.Signal();
                          return 0;
                      },
                      nullptr),
                  S_OK);
    }
    s_go.Signal();
    EXPECT_TRUE(s_done.Wait(10000));
}

TEST(SyncThread, DetachedThreadRuns)
{
    static Event ran;
    ASSERT_EQ(Thread::Create(
                  [](void*) -> unsigned {
                      ran.Signal();
                      return 0;
                  },
                  nullptr),
              S_OK);
    EXPECT_TRUE(ran.Wait(10000));
}

struct Worker {
    Event* started;
    unsigned value;
    unsigned Run()
    {
        started->Signal();
        return value * 2;
    }
};

TEST(SyncThread, MemberFunctionThread)
{
    Event started;
    Worker w {&started, 21};
    Thread t;
    ASSERT_EQ(Thread::Create(&t, &w, &Worker::Run), S_OK);
    EXPECT_TRUE(started.Wait(10000));
    EXPECT_TRUE(t.Wait(-1));
    EXPECT_EQ(t.ExitCode(), 42u);
}

TEST(SyncThread, NullStartFunctionRefused)
{
    Thread t;
    EXPECT_EQ(Thread::Create(&t, nullptr, nullptr), E_INVALIDARG);
    EXPECT_TRUE(!t);
}

// In a child process whose thread creation the kernel refuses, every form of
// Create reports the failure and leaves nothing to wait for.
TEST(SyncThread, ThreadThatCannotStartIsReported)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            _exit(77);
        Thread t;
        int failures = 0;
        if (SUCCEEDED(Thread::Create(&t, &ReturnArgument, nullptr)))
            ++failures;
        if (!!t)
            ++failures;
        if (t.Wait(-1))
            ++failures;  // returns at once: nothing to wait for
        if (SUCCEEDED(Thread::Create(&ReturnArgument, nullptr)))
            ++failures;
        Worker w {nullptr, 1};
        if (SUCCEEDED(Thread::Create(&t, &w, &Worker::Run)))
            ++failures;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SyncTls, EachThreadSeesItsOwnValue)
{
    Tls slot;
    int a = 0;
    int b = 0;
    EXPECT_EQ(slot.Get(), nullptr);
    ASSERT_EQ(slot.Set(&a), S_OK);
    void* seen = &a;
    void* own = nullptr;
    std::thread other([&] {
        seen = slot.Get();
        slot.Set(&b);
        own = slot.Get();
    });
    other.join();
    EXPECT_EQ(seen, nullptr);
    EXPECT_EQ(own, &b);
    EXPECT_EQ(slot.Get(), &a);
}

TEST(SyncSleep, SleepsAtLeastTheTime)
{
    auto start = Clock::now();
    Sleep(25);
    EXPECT_GE(ElapsedMs(start), 25);
}

}  // namespace

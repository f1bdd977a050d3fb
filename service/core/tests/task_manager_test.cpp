// The scheduler: due times in each format, parked and named runs, periodic
// runs, deletion (also of a task that runs or waits for its named run) and
// the stop while a task runs.
#include "task_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"
#include "zelk_module.h"
#include "zelk_timeapi.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CTaskManager;

std::mutex s_mutex;
std::vector<unsigned long> s_runs;

int Record(unsigned long argument)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_runs.push_back(argument);
    return 0;
}

int Other(unsigned long)
{
    return 0;
}

std::vector<unsigned long> Runs()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_runs;
}

// Holds the worker until released.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
};
Gate* s_gate = nullptr;

int Block(unsigned long)
{
    std::unique_lock<std::mutex> lock(s_gate->mutex);
    s_gate->entered = true;
    s_gate->changed.notify_all();
    s_gate->changed.wait(lock, [] { return s_gate->open; });
    return 0;
}

// A reference-counted owner of member-function tasks.
class Owner : public IUnknown {
public:
    HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
    long AddRef() override { return ++refs; }
    long Release() override { return --refs; }
    int Work()
    {
        ++runs;
        if (block)
            Block(0);
        return 0;
    }

    std::atomic<long> refs {1};
    std::atomic<int> runs {0};
    bool block = false;
};

uint64_t NowMs1970()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

class SchedulerTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        s_runs.clear();
        s_gate = &m_gate;
        ASSERT_EQ(CSingletonFactoryImpl<CTaskManager>::New(&m_tm), 0);
    }
    void TearDown() override
    {
        Open();
        if (m_tm)
            m_tm->Release();
        ServiceTest::TearDown();
    }

    // Adds the gate task and waits until the worker is inside it.
    void HoldWorker()
    {
        ASSERT_EQ(m_tm->AddTask("gate", &Block, 0, 0, 0, false), 0);
        std::unique_lock<std::mutex> lock(m_gate.mutex);
        m_gate.changed.wait(lock, [this] { return m_gate.entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_gate.mutex);
        m_gate.open = true;
        m_gate.changed.notify_all();
    }

    Gate m_gate;
    CTaskManager* m_tm = nullptr;
};

TEST_F(SchedulerTest, AtOnceRunsAndIsListedAsNow)
{
    CaptureTrace(4);
    HoldWorker();
    ASSERT_EQ(m_tm->AddTask("now", &Record, 1, 0, 0, false), 0);
    CTaskManager::TraceScheduledTasks();
    EXPECT_EQ(CountTrace("@NOW :now'"), 1u);
    Open();
    EXPECT_TRUE(WaitFor([] { return Runs().size() == 1; }));
}

TEST_F(SchedulerTest, RelativeAndAbsoluteDueTimes)
{
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(m_tm->AddTask("ms", &Record, 1, 40, TIME_UNIT_MILLISECONDS, false), 0);
    ASSERT_TRUE(WaitFor([] { return Runs().size() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));

    // Two tasks with one due time run newest first.
    uint64_t due = NowMs1970() + 60;
    ASSERT_EQ(m_tm->AddTask("older", &Record, 2, due, TIME_EPOCH_1970 | TIME_UNIT_MILLISECONDS, false), 0);
    ASSERT_EQ(m_tm->AddTask("newer", &Record, 3, due, TIME_EPOCH_1970 | TIME_UNIT_MILLISECONDS, false), 0);
    ASSERT_TRUE(WaitFor([] { return Runs().size() == 3; }));
    EXPECT_EQ(Runs(), (std::vector<unsigned long> {1, 3, 2}));
}

TEST_F(SchedulerTest, ParkedTasksRunOnlyByNameOnce)
{
    Owner owner;
    ASSERT_EQ(m_tm->AddTask("parked", &Record, 7, 1, 0, true), 0);
    ASSERT_EQ(m_tm->AddTask("member", &Owner::Work, &owner, CTaskManager::kNever, 0, true), 0);
    EXPECT_EQ(owner.refs, 2);
    // An overflowing relative time is never due either.
    ASSERT_EQ(m_tm->AddTask("far", &Record, 8, ~0ull, TIME_UNIT_SECONDS, false), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(Runs().empty());

    EXPECT_EQ(m_tm->ExecuteNamedTask("parked"), 1);
    EXPECT_EQ(m_tm->ExecuteNamedTask("member"), 1);
    ASSERT_TRUE(WaitFor([&] { return Runs().size() == 1 && owner.runs == 1 && owner.refs == 1; }));
    // Run once and destroyed, although periodic.
    EXPECT_EQ(m_tm->DeleteTask(&Record, 7), 0);  // "far" shares the function
    EXPECT_EQ(m_tm->DeleteTask(&Record, 7), 1);
    EXPECT_EQ(m_tm->DeleteTask(&Owner::Work, &owner), 1);
}

TEST_F(SchedulerTest, PeriodicTasksAndRefusedAbsolutePeriods)
{
    ASSERT_EQ(m_tm->AddTask("tick", &Record, 5, 10, TIME_UNIT_MILLISECONDS, true), 0);
    ASSERT_TRUE(WaitFor([] { return Runs().size() >= 3; }));
    EXPECT_EQ(m_tm->DeleteTask(&Record, 0), 0);

    EXPECT_EQ(m_tm->AddTask("absolute", &Record, 6, 5, TIME_UNIXTIME, true), ZELK_RC(0x80000003));
    // A refused member task gives its reference back.
    Owner owner;
    EXPECT_EQ(m_tm->AddTask("absolute", &Owner::Work, &owner, 5, TIME_UNIXTIME, true), ZELK_RC(0x80000003));
    EXPECT_EQ(owner.refs, 1);
}

TEST_F(SchedulerTest, DeletePatternsByFunctionAndMember)
{
    Owner a;
    Owner b;
    ASSERT_EQ(m_tm->AddTask("r1", &Record, 1, 1, 0, false), 0);
    ASSERT_EQ(m_tm->AddTask("r2", &Record, 2, 1, 0, false), 0);
    ASSERT_EQ(m_tm->AddTask("o", &Other, 3, 1, 0, false), 0);
    ASSERT_EQ(m_tm->AddTask("a", &Owner::Work, &a, 1, 0, false), 0);
    ASSERT_EQ(m_tm->AddTask("b", &Owner::Work, &b, 1, 0, false), 0);
    EXPECT_EQ(m_tm->DeleteTask(&Record, 99), 0);
    EXPECT_EQ(m_tm->DeleteTask(&Record, 1), 1);
    EXPECT_EQ(m_tm->DeleteTask(&Owner::Work, &a), 0);
    EXPECT_EQ(a.refs, 1);
    EXPECT_EQ(b.refs, 2);
    EXPECT_EQ(m_tm->DeleteTask(&Other, 0), 0);
    EXPECT_EQ(m_tm->DeleteTask(&Owner::Work, &b), 0);
    EXPECT_EQ(b.refs, 1);
}

TEST_F(SchedulerTest, DeletingARunningPeriodicTaskEndsIt)
{
    Owner owner;
    owner.block = true;
    ASSERT_EQ(m_tm->AddTask("periodic", &Owner::Work, &owner, 1, TIME_UNIT_MILLISECONDS, true), 0);
    {
        std::unique_lock<std::mutex> lock(m_gate.mutex);
        m_gate.changed.wait(lock, [this] { return m_gate.entered; });
    }
    EXPECT_EQ(m_tm->DeleteTask(&Owner::Work, &owner), 0);
    EXPECT_EQ(m_tm->DeleteTask(&Owner::Work, &owner), 1);
    Open();
    ASSERT_TRUE(WaitFor([&] { return owner.refs == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(owner.runs, 1);
}

TEST_F(SchedulerTest, DeletingATaskQueuedByNameEndsIt)
{
    HoldWorker();
    ASSERT_EQ(m_tm->AddTask("queued", &Record, 4, 1, 0, false), 0);
    EXPECT_EQ(m_tm->ExecuteNamedTask("queued"), 1);
    EXPECT_EQ(m_tm->DeleteTask(&Record, 4), 0);
    ASSERT_EQ(m_tm->AddTask("after", &Other, 0, 0, 0, false), 0);
    Open();
    ASSERT_TRUE(WaitFor([this] { return m_tm->DeleteTask(&Other, 0) == 1; }));
    EXPECT_TRUE(Runs().empty());
}

TEST_F(SchedulerTest, StopWaitsForTheRunningTaskAndDropsTheRest)
{
    Owner left;
    HoldWorker();
    ASSERT_EQ(m_tm->AddTask("left", &Owner::Work, &left, 0, 0, false), 0);
    m_tm->Release();
    m_tm = nullptr;
    std::atomic<bool> stopped {false};
    std::thread stopper([&] {
        ZELK_Finalize();
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(stopped);
    Open();
    stopper.join();
    m_started = false;
    EXPECT_EQ(left.runs, 0);
    EXPECT_EQ(left.refs, 1);
}

}  // namespace
}  // namespace kestrin::service::test

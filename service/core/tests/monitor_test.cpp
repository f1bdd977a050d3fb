// The monitor base: first loads, the wait for all of them while monitors
// fail, stop, end or go, a wait from a first load, suspend and resume; and
// the change detector.
#include "monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "service_fixture.h"
#include "zelk_alloc.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CModDetector;
using ZELK::PSESVC::CMonitor;

class TestMonitor : public CMonitor {
public:
    ZELK_BEGIN_INTMAP(TestMonitor)
    ZELK_INTMAP_ENTRY(IUnknown)
    ZELK_END_INTMAP()

    HRESULT NotifyThread_Initialize() override
    {
        while (holdStart && !m_bStop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return failStart ? E_FAIL : S_OK;
    }
    HRESULT Reload() override
    {
        if (waitInFirstLoad && reloads == 0)
            CMonitor::WaitForAllInitialized();
        ++reloads;
        return S_OK;
    }
    HRESULT RegisterEvent() override { return endAfterFirstLoad ? E_FAIL : S_OK; }

    std::atomic<bool> holdStart {false};
    bool failStart = false;
    bool waitInFirstLoad = false;
    bool endAfterFirstLoad = false;
    std::atomic<int> reloads {0};
};

// A monitor held by the test: constructed, optionally started, and finalised
// and released at the end.
struct Held {
    Held()
    {
        CComObject<TestMonitor>::CreateInstance(&monitor);
        monitor->AddRef();
    }
    ~Held()
    {
        monitor->Finalize();
        monitor->Release();
    }
    TestMonitor* operator->() { return monitor; }
    CComObject<TestMonitor>* monitor = nullptr;
};

// Runs WaitForAllInitialized on its own thread.
class Waiter {
public:
    Waiter()
        : m_thread([this] {
            CMonitor::WaitForAllInitialized();
            done = true;
        })
    {}
    ~Waiter() { m_thread.join(); }
    bool StillWaiting()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return !done;
    }
    std::atomic<bool> done {false};

private:
    std::thread m_thread;
};

class MonitorTest : public ServiceTest {};

TEST_F(MonitorTest, WaitEndsWhenTheLastMonitorReportsItsFirstLoadEvenAFailedOne)
{
    Held loaded;
    Held failing;
    failing->holdStart = true;
    failing->failStart = true;
    loaded->Initialize();
    failing->Initialize();
    ASSERT_TRUE(WaitFor([&] { return loaded->NotifyThread_IsInitialized(); }));
    Waiter waiter;
    EXPECT_TRUE(waiter.StillWaiting());
    failing->holdStart = false;
    EXPECT_TRUE(WaitFor([&] { return waiter.done.load(); }));
    EXPECT_EQ(failing->reloads, 0);
}

TEST_F(MonitorTest, StoppedEndedAndDestroyedMonitorsHoldNoWaiter)
{
    {
        Held stopped;
        stopped->holdStart = true;
        stopped->Initialize();
        Waiter waiter;
        EXPECT_TRUE(waiter.StillWaiting());
        stopped->Finalize();
        EXPECT_TRUE(WaitFor([&] { return waiter.done.load(); }));
    }
    {
        Held ended;
        ended->endAfterFirstLoad = true;
        ended->Initialize();
        ASSERT_TRUE(WaitFor([&] { return ended->reloads == 1 && !ended->NotifyThread_IsInitialized(); }));
        EXPECT_EQ(CMonitor::WaitForAllInitialized(), 0);
    }
    {
        auto* never = new Held;  // constructed, never started
        Waiter waiter;
        EXPECT_TRUE(waiter.StillWaiting());
        delete never;
        EXPECT_TRUE(WaitFor([&] { return waiter.done.load(); }));
    }
    EXPECT_EQ(CMonitor::MonitorCount(), 0);
    EXPECT_EQ(CMonitor::InitializedCount(), 0);
}

TEST_F(MonitorTest, AWaitFromAFirstLoadDoesNotWaitForItself)
{
    Held other;
    Held self;
    other->Initialize();
    self->waitInFirstLoad = true;
    self->Initialize();
    EXPECT_TRUE(WaitFor([&] { return self->reloads == 1; }));
    EXPECT_EQ(CMonitor::WaitForAllInitialized(), 0);
}

TEST_F(MonitorTest, ResumeReloadsOnlyWhenAsked)
{
    Held monitor;
    monitor->Initialize();
    ASSERT_TRUE(WaitFor([&] { return monitor->reloads == 1; }));
    monitor->Suspend();
    monitor->GetSignal()->Signal();
    monitor->Suspend();  // resets a signal the thread has not taken yet
    monitor->Resume(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(monitor->reloads, 1);
    monitor->Resume(true);
    EXPECT_TRUE(WaitFor([&] { return monitor->reloads == 2; }));
}

TEST_F(MonitorTest, DetectorReportsTheEntriesThatWent)
{
    CModDetector detector;
    for (const char* uri : {"a", "", "b", "c"})
        detector.AddNew(uri);
    detector.RefreshDeleteDetector();
    // Nothing found yet: every earlier entry but the empty one went.
    EXPECT_EQ(detector.GetDeletedURIsCount(), 3u);
    detector.AddNew("a");
    detector.AddNew("c");
    ASSERT_EQ(detector.GetDeletedURIsCount(), 1u);
    char* uri = nullptr;
    ASSERT_EQ(detector.GetDeleted(0, &uri), 0);
    EXPECT_STREQ(uri, "b");
    sec_free(uri);
    uri = nullptr;
    EXPECT_EQ(detector.GetDeleted(1, &uri), ZELK_RC(0x80004005));
    detector.RefreshDeleteDetector();
    detector.AddNew("a");
    ASSERT_EQ(detector.GetDeletedURIsCount(), 1u);
    ASSERT_EQ(detector.GetDeleted(0, &uri), 0);
    EXPECT_STREQ(uri, "c");
    sec_free(uri);
}

}  // namespace
}  // namespace kestrin::service::test

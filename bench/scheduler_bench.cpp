// Tasks per second through the service's scheduler (AddTask with time 0, run
// by its worker, tracing off) beside a bare thread with a condition-variable
// queue doing the same work.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "task_manager.h"
#include "zelk_module.h"

namespace {

using ZELK::PSESVC::CTaskManager;

constexpr int kBatch = 1000;

std::atomic<int> s_done {0};
std::mutex s_doneMutex;
std::condition_variable s_doneChanged;

int Work(unsigned long)
{
    if (++s_done == kBatch) {
        std::lock_guard<std::mutex> lock(s_doneMutex);
        s_doneChanged.notify_all();
    }
    return 0;
}

void WaitForBatch()
{
    std::unique_lock<std::mutex> lock(s_doneMutex);
    s_doneChanged.wait(lock, [] { return s_done.load() == kBatch; });
}

void BM_TaskManager(benchmark::State& state)
{
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return;
    }
    CTaskManager* tm = nullptr;
    CSingletonFactoryImpl<CTaskManager>::New(&tm);
    for (auto _ : state) {
        s_done = 0;
        for (int i = 0; i < kBatch; ++i)
            tm->AddTask("bench", &Work, static_cast<unsigned long>(i), 0, 0, false);
        WaitForBatch();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    tm->Release();
    ZELK_Finalize();
}
BENCHMARK(BM_TaskManager)->UseRealTime();

// The peer: one worker thread, a mutex, a condition variable and a queue.
class BareQueue {
public:
    BareQueue() : m_worker([this] { Run(); }) {}
    ~BareQueue()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_one();
        m_worker.join();
    }
    void Add(int (*function)(unsigned long), unsigned long argument)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_tasks.emplace_back(function, argument);
        }
        m_changed.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stop || !m_tasks.empty(); });
            if (m_tasks.empty())
                return;
            auto task = m_tasks.front();
            m_tasks.pop_front();
            lock.unlock();
            task.first(task.second);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<int (*)(unsigned long), unsigned long>> m_tasks;
    bool m_stop = false;
    std::thread m_worker;
};

void BM_BareQueue(benchmark::State& state)
{
    BareQueue queue;
    for (auto _ : state) {
        s_done = 0;
        for (int i = 0; i < kBatch; ++i)
            queue.Add(&Work, static_cast<unsigned long>(i));
        WaitForBatch();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BareQueue)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

#include "queues.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrin::app {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> blocks;
    std::thread::id thread;
};

SerialQueue::SerialQueue(const char* label) : m_label(label), m_state(new State)
{
    State* state = m_state;
    std::thread worker([state] {
        for (;;) {
            std::function<void()> block;
            {
                std::unique_lock<std::mutex> lock(state->mutex);
                state->wake.wait(lock, [state] { return !state->blocks.empty(); });
                block = std::move(state->blocks.front());
                state->blocks.pop_front();
            }
            block();
        }
    });
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->thread = worker.get_id();
    }
    worker.detach();
}

void SerialQueue::Async(std::function<void()> block)
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->blocks.push_back(std::move(block));
    }
    m_state->wake.notify_one();
}

bool SerialQueue::IsCurrent() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->thread == std::this_thread::get_id();
}

namespace {

// A hop to the GUI thread that its caller waits for.
struct Hop {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool cancelled = false;
};

std::mutex s_hopsMutex;
std::list<std::shared_ptr<Hop>> s_hops;
bool s_loopEnded = false;

void Forget(const std::shared_ptr<Hop>& hop)
{
    std::lock_guard<std::mutex> lock(s_hopsMutex);
    s_hops.remove(hop);
}

}  // namespace

bool IsGuiThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void PostToGui(std::function<void()> block)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || GuiLoopEnded())
        return;
    QMetaObject::invokeMethod(app, std::move(block), Qt::QueuedConnection);
}

bool RunOnGui(const std::function<void()>& block)
{
    if (IsGuiThread()) {
        block();
        return true;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    auto hop = std::make_shared<Hop>();
    {
        std::lock_guard<std::mutex> lock(s_hopsMutex);
        if (s_loopEnded)
            return false;
        s_hops.push_back(hop);
    }
    // The block is the caller's and lives until the caller returns, which a
    // cancelled hop does before the posted call may run: the call checks first.
    const std::function<void()>* call = &block;
    QMetaObject::invokeMethod(
        app,
        [hop, call] {
            {
                std::lock_guard<std::mutex> lock(hop->mutex);
                if (hop->cancelled)
                    return;
            }
            (*call)();
            std::lock_guard<std::mutex> lock(hop->mutex);
            hop->done = true;
            hop->changed.notify_all();
        },
        Qt::QueuedConnection);
    bool done;
    {
        std::unique_lock<std::mutex> lock(hop->mutex);
        hop->changed.wait(lock, [&hop] { return hop->done || hop->cancelled; });
        done = hop->done;
        hop->cancelled = !done;
    }
    Forget(hop);
    return done;
}

void BeginGuiLoop()
{
    std::lock_guard<std::mutex> lock(s_hopsMutex);
    s_loopEnded = false;
}

void EndGuiLoop()
{
    std::lock_guard<std::mutex> lock(s_hopsMutex);
    s_loopEnded = true;
    for (const std::shared_ptr<Hop>& hop : s_hops) {
        std::lock_guard<std::mutex> hopLock(hop->mutex);
        hop->cancelled = true;
        hop->changed.notify_all();
    }
}

bool GuiLoopEnded()
{
    std::lock_guard<std::mutex> lock(s_hopsMutex);
    return s_loopEnded;
}

}  // namespace kestrin::app

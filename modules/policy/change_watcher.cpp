#include "change_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrin::policy {
namespace change_watcher {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> s_coalesce {kCoalesceMilliseconds};

constexpr uint32_t kEventMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

struct Watch {
    uint64_t handle;
    int wd;
    std::string fileName;
    FolderWatchTarget* target;
    bool pending = false;
    Clock::time_point due;
};

// One run of the event thread, from its start to its stop; a later start makes
// a new run, so no stop request outlives the run it was meant for.
struct Run {
    int inotifyFd = -1;
    int wakeFd = -1;
    bool stop = false;
    std::thread::id threadId;
    ~Run()
    {
        if (inotifyFd >= 0)
            close(inotifyFd);
        if (wakeFd >= 0)
            close(wakeFd);
    }
};

void Wake(const Run& run)
{
    uint64_t one = 1;
    ssize_t n = write(run.wakeFd, &one, sizeof one);
    (void)n;
}

struct State {
    std::mutex lock;
    std::condition_variable delivered;
    std::vector<Watch> watches;
    std::shared_ptr<Run> run;
    std::thread thread;
    // A run stopped from its own callback ends by itself; the next caller on
    // another thread, or the library's unloading, joins it.
    std::thread retired;
    uint64_t nextHandle = 1;
    uint64_t delivering = 0;  // handle whose target is being called

    // The library may be unloaded while a watch is left: its thread must not
    // outlive the code it runs.
    ~State()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (run) {
                run->stop = true;
                Wake(*run);
            }
        }
        if (thread.joinable())
            thread.join();
        if (retired.joinable())
            retired.join();
    }
};

// Joins a run that ended by itself, unless the caller is that run's thread;
// the caller holds the lock.
void JoinRetired(State& s, std::unique_lock<std::mutex>& guard)
{
    if (!s.retired.joinable() || s.retired.get_id() == std::this_thread::get_id())
        return;
    std::thread ended = std::move(s.retired);
    guard.unlock();
    ended.join();
    guard.lock();
}

// Whoever keeps watches until static destruction asks for this state before
// its own construction ends, so the state is destroyed after it.
State& S()
{
    static State state;
    return state;
}

void MarkPending(State& s, int wd, const char* name)
{
    for (Watch& w : s.watches) {
        if (wd != -1 && w.wd != wd)
            continue;
        if (name && *name && w.fileName != name)
            continue;
        if (!w.pending) {
            w.pending = true;
            w.due = Clock::now() + std::chrono::milliseconds(s_coalesce.load());
        }
    }
}

void ReadEvents(State& s, int fd)
{
    alignas(struct inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        std::lock_guard<std::mutex> guard(s.lock);
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<struct inotify_event*>(p);
            if (event->mask & IN_Q_OVERFLOW) {
                MarkPending(s, -1, nullptr);
            } else if (!(event->mask & IN_IGNORED)) {
                MarkPending(s, event->wd, event->len ? event->name : nullptr);
            }
            p += sizeof(struct inotify_event) + event->len;
        }
    }
}

void EventThread(std::shared_ptr<Run> run)
{
    State& s = S();
    for (;;) {
        int timeout = -1;
        {
            std::unique_lock<std::mutex> guard(s.lock);
            if (run->stop)
                break;
            // Deliver every burst whose quiet second is over, one target at a time.
            for (;;) {
                Watch* due = nullptr;
                Clock::time_point now = Clock::now();
                for (Watch& w : s.watches) {
                    if (w.pending && w.due <= now) {
                        due = &w;
                        break;
                    }
                }
                if (!due || run->stop)
                    break;
                due->pending = false;
                uint64_t handle = due->handle;
                s.delivering = handle;
                FolderWatchTarget* target = due->target;
                guard.unlock();
                target->OnFolderChanged();
                guard.lock();
                if (s.delivering == handle)
                    s.delivering = 0;
                s.delivered.notify_all();
            }
            if (run->stop)
                break;
            Clock::time_point now = Clock::now();
            for (const Watch& w : s.watches) {
                if (!w.pending)
                    continue;
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(w.due - now).count() + 1;
                if (timeout < 0 || wait < timeout)
                    timeout = static_cast<int>(wait);
            }
        }
        struct pollfd fds[2] = {{run->inotifyFd, POLLIN, 0}, {run->wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            ssize_t n = read(run->wakeFd, &count, sizeof count);
            (void)n;
        }
        if (fds[0].revents & POLLIN)
            ReadEvents(s, run->inotifyFd);
    }
}

}  // namespace

void SetCoalesceMilliseconds(int milliseconds)
{
    s_coalesce = milliseconds;
}

HRESULT AddWatch(const std::string& folder, const std::string& fileName, FolderWatchTarget* target, uint64_t* handle)
{
    if (!target || !handle || folder.empty())
        return E_INVALIDARG;
    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    JoinRetired(s, guard);
    bool started = false;
    if (!s.run) {
        auto run = std::make_shared<Run>();
        run->inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        run->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (run->inotifyFd < 0 || run->wakeFd < 0)
            return E_FAIL;
        s.run = run;
        started = true;
    }
    int wd = inotify_add_watch(s.run->inotifyFd, folder.c_str(), kEventMask);
    if (wd < 0) {
        if (started)
            s.run.reset();
        return errno == EACCES ? E_ACCESSDENIED : E_FAIL;
    }
    if (started) {
        try {
            s.thread = std::thread(EventThread, s.run);
        } catch (...) {
            s.run.reset();
            return E_FAIL;
        }
        s.run->threadId = s.thread.get_id();
    }
    Watch w {s.nextHandle++, wd, fileName, target, false, {}};
    s.watches.push_back(w);
    *handle = w.handle;
    return S_OK;
}

void RemoveWatch(uint64_t handle)
{
    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    bool onEventThread = s.run && s.run->threadId == std::this_thread::get_id();
    if (!onEventThread) {
        s.delivered.wait(guard, [&] { return s.delivering != handle; });
        JoinRetired(s, guard);
    }
    int wd = -1;
    for (auto it = s.watches.begin(); it != s.watches.end(); ++it) {
        if (it->handle == handle) {
            wd = it->wd;
            s.watches.erase(it);
            break;
        }
    }
    if (wd < 0)
        return;
    bool shared = false;
    for (const Watch& w : s.watches)
        shared = shared || w.wd == wd;
    // Two watches of one folder share one inotify watch descriptor.
    if (!shared)
        inotify_rm_watch(s.run->inotifyFd, wd);
    if (!s.watches.empty())
        return;
    std::shared_ptr<Run> run = std::move(s.run);
    run->stop = true;
    Wake(*run);
    std::thread thread = std::move(s.thread);
    if (onEventThread) {
        // This thread leaves its loop when the callback returns.
        std::thread earlier = std::move(s.retired);
        s.retired = std::move(thread);
        guard.unlock();
        if (earlier.joinable())
            earlier.join();
    } else {
        guard.unlock();
        thread.join();
    }
}

size_t WatchCount()
{
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.watches.size();
}

bool ThreadRunning()
{
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.run != nullptr;
}

}  // namespace change_watcher
}  // namespace kestrin::policy

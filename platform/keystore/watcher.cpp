// inotify watcher of the store's folder.
#include "watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestrin::keystore {
namespace {

// A burst ends after this quiet time, or at the latest after kMaxBurst.
constexpr int kQuietMs = 40;
constexpr auto kMaxBurst = std::chrono::milliseconds(400);

}  // namespace

HRESULT Watcher::Start(const std::string& dir, const std::string& base, std::function<void()> onChange,
                       std::unique_ptr<Watcher>* out)
{
    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in < 0)
        return KEYSTORE_E_WATCH;
    if (inotify_add_watch(in, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
        close(in);
        return KEYSTORE_E_WATCH;
    }
    int stop = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop < 0) {
        close(in);
        return KEYSTORE_E_WATCH;
    }
    try {
        std::unique_ptr<Watcher> watcher(new Watcher(in, stop, base, std::move(onChange)));
        watcher->thread_ = std::thread(&Watcher::Run, watcher.get());
        *out = std::move(watcher);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::system_error&) {
        return KEYSTORE_E_WATCH;
    }
    return S_OK;
}

Watcher::Watcher(int inotifyFd, int stopFd, std::string base, std::function<void()> onChange)
    : inotifyFd_(inotifyFd), stopFd_(stopFd), base_(std::move(base)), onChange_(std::move(onChange))
{}

Watcher::~Watcher()
{
    if (thread_.joinable()) {
        uint64_t one = 1;
        while (write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    close(inotifyFd_);
    close(stopFd_);
}

// Reads every pending event; true when one concerns the database or its
// journal files ("keystore.db", "keystore.db-wal", ...).
bool Watcher::DrainRelevant()
{
    bool relevant = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = read(inotifyFd_, buffer, sizeof buffer);
        if (got <= 0)
            return relevant;
        for (char* p = buffer; p < buffer + got;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            if (event->len > 0) {
                std::string_view name(event->name);
                if (name.starts_with(base_))
                    relevant = true;
            }
            if (event->mask & IN_Q_OVERFLOW)
                relevant = true;
            p += sizeof(inotify_event) + event->len;
        }
    }
}

void Watcher::Run()
{
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (!DrainRelevant())
            continue;
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < kMaxBurst) {
            int ready = poll(fds, 2, kQuietMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            if (fds[1].revents != 0)
                return;
            DrainRelevant();
        }
        onChange_();
    }
}

}  // namespace kestrin::keystore

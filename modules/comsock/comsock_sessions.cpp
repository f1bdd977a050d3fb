#include "comsock_sessions.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "comsock_io.h"

namespace ZELK::PSESVC::COMSOCK {

namespace {

uint32_t RandomId()
{
    uint32_t id = 0;
    while (id == 0) {
        if (getrandom(&id, sizeof(id), 0) != static_cast<ssize_t>(sizeof(id)))
            id = 0;
    }
    return id;
}

bool Exited(int pidfd)
{
    pollfd exited {pidfd, POLLIN, 0};
    return pidfd < 0 || poll(&exited, 1, 0) != 0;
}

}  // namespace

SessionTable::SessionTable() : m_watch(epoll_create1(EPOLL_CLOEXEC)) {}

SessionTable::~SessionTable()
{
    for (auto& [id, entry] : m_sessions)
        entry.tunnel->Release();
    for (auto& [key, process] : m_processes)
        CloseFd(process.pidfd);
    CloseFd(m_watch);
}

void SessionTable::SetLimits(const SessionLimits& limits)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_limits.perProcess = std::max<size_t>(1, limits.perProcess);
    m_limits.inAll = std::max<size_t>(1, limits.inAll);
}

void SessionTable::Release(Ended& ended)
{
    // A tunnel may run its own clean-up: never under the table's lock.
    for (ITunnel* tunnel : ended)
        tunnel->Release();
    ended.clear();
}

// The key of running process `pid`, watched from now on; 0 when it cannot be
// watched (it has ended, or no descriptor is left).
uint64_t SessionTable::Watch(uint32_t pid, Ended& ended)
{
    if (pid == 0)
        return 0;
    auto running = m_running.find(pid);
    if (running != m_running.end()) {
        uint64_t key = running->second;
        if (!Exited(m_processes.at(key).pidfd))
            return key;
        Gone(key, ended);
    }
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (pidfd < 0)
        return 0;
    uint64_t key = m_nextKey++;
    epoll_event watch {};
    watch.events = EPOLLIN;
    watch.data.u64 = key;
    if (Exited(pidfd) || epoll_ctl(m_watch, EPOLL_CTL_ADD, pidfd, &watch) != 0) {
        CloseFd(pidfd);
        return 0;
    }
    m_processes.emplace(key, Process {pid, pidfd, 0, {}});
    m_running[pid] = key;
    return key;
}

// Process `key` has ended: its waiting sessions end, the held ones with
// their last connection.
void SessionTable::Gone(uint64_t key, Ended& ended)
{
    auto it = m_processes.find(key);
    if (it == m_processes.end() || it->second.pidfd < 0)
        return;
    Process& process = it->second;
    CloseFd(process.pidfd);
    process.pidfd = -1;
    auto running = m_running.find(process.pid);
    if (running != m_running.end() && running->second == key)
        m_running.erase(running);
    // Ending the last session forgets the process.
    process.sessions += 1;
    while (!process.waiting.empty())
        End(process.waiting.front(), ended);
    process.sessions -= 1;
    Unwatch(key);
}

// Forgets process `key` once no session is its.
void SessionTable::Unwatch(uint64_t key)
{
    auto it = m_processes.find(key);
    if (it == m_processes.end() || it->second.sessions > 0)
        return;
    if (it->second.pidfd >= 0) {
        CloseFd(it->second.pidfd);
        auto running = m_running.find(it->second.pid);
        if (running != m_running.end() && running->second == key)
            m_running.erase(running);
    }
    m_processes.erase(it);
}

void SessionTable::StopWaiting(Entry& entry)
{
    if (!entry.waiting)
        return;
    m_waiting.erase(entry.inAll);
    auto process = m_processes.find(entry.process);
    if (process != m_processes.end())
        process->second.waiting.erase(entry.inProcess);
    entry.waiting = false;
}

void SessionTable::End(uint32_t id, Ended& ended)
{
    auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    Entry& entry = it->second;
    StopWaiting(entry);
    uint64_t key = entry.process;
    ended.push_back(entry.tunnel);
    m_sessions.erase(it);
    auto process = m_processes.find(key);
    if (process != m_processes.end()) {
        process->second.sessions -= 1;
        Unwatch(key);
    }
}

HRESULT SessionTable::Add(ITunnel* tunnel, uint32_t pid, uint32_t* id)
{
    if (tunnel == nullptr || id == nullptr)
        return E_INVALIDARG;
    Ended ended;
    HRESULT hr = S_OK;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        uint64_t key = Watch(pid, ended);
        // Counted before room is made, so that the process stays known.
        Process* process = key ? &m_processes.at(key) : nullptr;
        if (process)
            process->sessions += 1;
        while (process && process->sessions > m_limits.perProcess && !process->waiting.empty())
            End(process->waiting.front(), ended);
        while (m_sessions.size() >= m_limits.inAll && !m_waiting.empty())
            End(m_waiting.front(), ended);
        if ((process && process->sessions > m_limits.perProcess) || m_sessions.size() >= m_limits.inAll)
            hr = S_FALSE;
        if (hr == S_OK) {
            uint32_t candidate = RandomId();
            while (m_sessions.count(candidate))
                candidate = RandomId();
            tunnel->AddRef();
            m_sessions.emplace(candidate, Entry {tunnel, 1, key, true, false, {}, {}});
            *id = candidate;
        } else if (process) {
            process->sessions -= 1;
            Unwatch(key);
        }
    }
    Release(ended);
    return hr;
}

HRESULT SessionTable::Join(uint32_t id, ITunnel** tunnel)
{
    *tunnel = nullptr;
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_sessions.find(id);
    if (id == 0 || it == m_sessions.end() || !it->second.current)
        return S_FALSE;
    StopWaiting(it->second);
    ++it->second.holders;
    it->second.tunnel->AddRef();
    *tunnel = it->second.tunnel;
    return S_OK;
}

void SessionTable::Leave(uint32_t id)
{
    Ended ended;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_sessions.find(id);
        if (it == m_sessions.end() || it->second.holders == 0 || --it->second.holders > 0)
            return;
        Entry& entry = it->second;
        auto process = m_processes.find(entry.process);
        if (m_keep && entry.current && process != m_processes.end() && !Exited(process->second.pidfd)) {
            entry.waiting = true;
            entry.inAll = m_waiting.insert(m_waiting.end(), id);
            entry.inProcess = process->second.waiting.insert(process->second.waiting.end(), id);
        } else {
            End(id, ended);
        }
    }
    Release(ended);
}

void SessionTable::EndExited()
{
    epoll_event events[32];
    int count = epoll_wait(m_watch, events, 32, 0);
    Ended ended;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (int i = 0; i < count; ++i)
            Gone(events[i].data.u64, ended);
    }
    Release(ended);
}

void SessionTable::Close()
{
    Ended ended;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_keep = false;
        for (auto& [id, entry] : m_sessions)
            entry.current = false;
        while (!m_waiting.empty())
            End(m_waiting.front(), ended);
    }
    Release(ended);
}

void SessionTable::Open()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_keep = true;
}

size_t SessionTable::Count()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sessions.size();
}

}  // namespace ZELK::PSESVC::COMSOCK

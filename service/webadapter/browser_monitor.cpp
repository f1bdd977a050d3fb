// Browser monitors: after a page's import, the profile is logged out when the
// browser process that opened the context ends. A thread per monitor waits on
// the process's pidfd beside the facade's stop event.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "../tokens/token_manager.h"
#include "kvc_api_facade_impl.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

constexpr const char* TRACE_MODULE = "webadapter";

std::atomic<CKVCAPIFacadeImpl::StartTimeFn> s_startTimeReader {nullptr};

void Trace(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SECTRACE_FormatLnV(TRACE_MODULE, static_cast<unsigned>(level), format, args);
    va_end(args);
}

uint64_t ReadStartTime(uint32_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return 0;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read)
        return 0;
    // The command name may hold spaces and parentheses: fields count from the
    // last ')'.
    const char* at = std::strrchr(line, ')');
    if (at == nullptr)
        return 0;
    unsigned long long start = 0;
    // Fields 3 to 21, then 22 (the start time).
    if (std::sscanf(at + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu", &start)
        != 1)
        return 0;
    return start;
}

}  // namespace

void CKVCAPIFacadeImpl::SetStartTimeReader(StartTimeFn reader)
{
    s_startTimeReader = reader;
}

uint64_t CKVCAPIFacadeImpl::StartTime(uint32_t pid)
{
    StartTimeFn reader = s_startTimeReader.load();
    return reader != nullptr ? reader(pid) : ReadStartTime(pid);
}

HRESULT CKVCAPIFacadeImpl::Initialize()
{
    m_stopEvent = eventfd(0, EFD_CLOEXEC);
    return m_stopEvent >= 0 ? S_OK : E_FAIL;
}

HRESULT CKVCAPIFacadeImpl::Finalize()
{
    if (m_stopEvent >= 0) {
        const uint64_t one = 1;
        if (write(m_stopEvent, &one, sizeof one) != sizeof one)
            Trace(1, "Browser monitor: the stop event cannot be signalled");
    }
    std::vector<std::thread> threads;
    {
        CriticalCodeSection lock(&m_csMonitors);
        for (BrowserMonitorHandle* handle : m_monitors)
            if (handle->m_thread.joinable())
                threads.push_back(std::move(handle->m_thread));
        for (std::thread& finished : m_finished)
            threads.push_back(std::move(finished));
        m_finished.clear();
    }
    for (std::thread& thread : threads)
        thread.join();
    {
        CriticalCodeSection lock(&m_csMonitors);
        for (BrowserMonitorHandle* handle : m_monitors)
            delete handle;
        m_monitors.clear();
    }
    return CSingletonFactoryImpl<CKVCAPIFacadeImpl>::Finalize();
}

void CKVCAPIFacadeImpl::reapFinishedMonitors()
{
    std::vector<std::thread> finished;
    {
        CriticalCodeSection lock(&m_csMonitors);
        finished.swap(m_finished);
    }
    for (std::thread& thread : finished)
        thread.join();
}

void CKVCAPIFacadeImpl::createMonitor(const std::string& origin, const std::string& profileId, uint32_t pid,
                                      uint64_t startTime)
{
    reapFinishedMonitors();
    CriticalCodeSection lock(&m_csMonitors);
    for (BrowserMonitorHandle* handle : m_monitors)
        if (handle->m_profileId == profileId && !handle->m_exiting)
            return;
    auto* handle = new (std::nothrow) BrowserMonitorHandle();
    if (handle == nullptr)
        return;
    handle->m_origin = origin;
    handle->m_profileId = profileId;
    handle->m_pid = pid;
    handle->m_startTime = startTime;
    Trace(3, "BrowserMonitor: start Monitor for host/profileid/pid: [%s][%s][%d]", origin.c_str(), profileId.c_str(),
          static_cast<int>(pid));
    try {
        m_monitors.push_back(handle);
        handle->m_thread = std::thread(&CKVCAPIFacadeImpl::runMonitor, this, handle);
    } catch (...) {
        if (!m_monitors.empty() && m_monitors.back() == handle)
            m_monitors.pop_back();
        delete handle;
    }
}

void CKVCAPIFacadeImpl::runMonitor(BrowserMonitorHandle* handle)
{
    Trace(3, "Start browser monitor on pid %d", static_cast<int>(handle->m_pid));
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(handle->m_pid), 0));
    // Gone already (ESRCH), or another process now carries the id: ended.
    bool ended = pidfd < 0 || StartTime(handle->m_pid) != handle->m_startTime;
    if (!ended) {
        pollfd fds[2] = {{pidfd, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
        for (;;) {
            const int n = poll(fds, 2, -1);
            if (n < 0 && errno == EINTR)
                continue;
            ended = n > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0 && (fds[1].revents & POLLIN) == 0;
            break;
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    if (ended)
        handleBrowserExit(handle);
}

void CKVCAPIFacadeImpl::handleBrowserExit(BrowserMonitorHandle* handle)
{
    {
        CriticalCodeSection lock(&m_csMonitors);
        handle->m_exiting = true;
    }
    AuxRefPtr<CTokenMgr> tokens;
    if (FAILED(CTokenMgr::GetExisting(&tokens)))
        return;
    std::string name;
    if (ResolveProfileName(handle->m_origin.c_str(), handle->m_profileId.c_str(), name)) {
        Trace(3, "Browser monitor: Browser exit detected and token %s will be logout", name.c_str());
        tokens->Logout(name.c_str());
    }
    CriticalCodeSection lock(&m_csMonitors);
    for (auto at = m_monitors.begin(); at != m_monitors.end(); ++at) {
        if (*at != handle)
            continue;
        m_monitors.erase(at);
        // Finalize may have taken the thread to join it already.
        if (handle->m_thread.joinable())
            m_finished.push_back(std::move(handle->m_thread));
        delete handle;
        return;
    }
}

}  // namespace ZELK::PSESVC

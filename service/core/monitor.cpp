#include "monitor.h"

#include <condition_variable>
#include <mutex>

#include "zelk_holders.h"
#include "zelk_strings.h"
#include "zelk_stringset.h"

namespace ZELK::PSESVC {
namespace {

// The class-wide state. Every change of a count wakes all waiters, which
// check their condition again.
std::mutex s_mutex;
std::condition_variable s_changed;
int s_cMonitors = 0;
int s_cInitializedMonitors = 0;
int s_cPending = 0;
thread_local CMonitor* t_notifyThreadOf = nullptr;

}  // namespace

CMonitor::CMonitor()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    ++s_cMonitors;
    SetPending(true);
}

CMonitor::~CMonitor()
{
    CMonitor::Finalize();
    std::lock_guard<std::mutex> lock(s_mutex);
    --s_cMonitors;
    if (m_bInitialized)
        --s_cInitializedMonitors;
    m_bInitialized = false;
    SetPending(false);
    s_changed.notify_all();
}

void CMonitor::SetPending(bool pending)
{
    if (pending == m_bPending)
        return;
    m_bPending = pending;
    s_cPending += pending ? 1 : -1;
}

HRESULT CMonitor::Initialize()
{
    Start();
    return S_OK;
}

HRESULT CMonitor::Finalize()
{
    Stop();
    return S_OK;
}

HRESULT CMonitor::Reset()
{
    Stop();
    Start();
    return S_OK;
}

HRESULT CMonitor::Start()
{
    m_event.Reset();
    m_bStop = false;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        SetPending(true);
    }
    HRESULT hr = Thread::Create(&m_thread, this, &CMonitor::NotifyThread);
    if (FAILED(hr)) {
        std::lock_guard<std::mutex> lock(s_mutex);
        SetPending(false);
        s_changed.notify_all();
    }
    return S_OK;
}

HRESULT CMonitor::Stop()
{
    m_bStop = true;
    m_event.Signal();
    // The notify thread cannot wait for its own end.
    if (t_notifyThreadOf != this) {
        while (m_thread && !m_thread.Wait(100)) {
            m_bStop = true;
            m_event.Signal();
        }
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    if (t_notifyThreadOf != this)
        SetPending(false);
    s_changed.notify_all();
    return S_OK;
}

HRESULT CMonitor::Suspend()
{
    m_bSuspended = true;
    m_event.Reset();
    return S_OK;
}

HRESULT CMonitor::Resume(bool signal)
{
    m_bSuspended = false;
    if (signal)
        m_event.Signal();
    return S_OK;
}

HRESULT CMonitor::NotifyThread_SetTimeout(unsigned int milliseconds)
{
    m_timeout = static_cast<int>(milliseconds);
    return S_OK;
}

bool CMonitor::NotifyThread_IsInitialized()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return m_bInitialized;
}

HRESULT CMonitor::NotifyThread_SetInitialized()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!m_bInitialized) {
        m_bInitialized = true;
        ++s_cInitializedMonitors;
    }
    SetPending(false);
    s_changed.notify_all();
    return S_OK;
}

unsigned CMonitor::NotifyThread()
{
    t_notifyThreadOf = this;
    HRESULT hr = NotifyThread_Initialize();
    if (SUCCEEDED(hr) && !m_bStop)
        Reload();
    // Also after a failed start, so that nobody waits for this monitor.
    NotifyThread_SetInitialized();
    if (SUCCEEDED(hr)) {
        while (!m_bStop && RegisterEvent() >= 0) {
            m_event.Wait(m_timeout);
            if (m_bStop)
                break;
            if (!m_bSuspended)
                Reload();
        }
    }
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (m_bInitialized)
            --s_cInitializedMonitors;
        m_bInitialized = false;
        SetPending(false);
        s_changed.notify_all();
    }
    if (FAILED(hr))
        return static_cast<unsigned>(hr);
    return static_cast<unsigned>(NotifyThread_Finalize());
}

HRESULT CMonitor::WaitForAllInitialized()
{
    std::unique_lock<std::mutex> lock(s_mutex);
    CMonitor* own = t_notifyThreadOf;
    s_changed.wait(lock, [own] { return s_cPending == ((own && own->m_bPending) ? 1 : 0); });
    return S_OK;
}

int CMonitor::MonitorCount()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_cMonitors;
}

int CMonitor::InitializedCount()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_cInitializedMonitors;
}

// ---- CModDetector -------------------------------------------------------------

CModDetector::~CModDetector()
{
    AuxFree(&m_previous);
    AuxFree(&m_current);
    AuxFree(&m_deleted);
}

HRESULT CModDetector::AddNew(const char* uri)
{
    m_dirty = true;
    return SUCCEEDED(SET_OF_String_add(&m_current, uri)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CModDetector::Check()
{
    if (!m_dirty)
        return S_OK;
    AuxFree(&m_deleted);
    for (const SET_OF_String* node = m_previous; node; node = node->next) {
        if (node->element && node->element[0] && !SET_OF_String_contains(m_current, node->element))
            SET_OF_String_add(&m_deleted, node->element);
    }
    m_dirty = false;
    return S_OK;
}

unsigned long CModDetector::GetDeletedURIsCount()
{
    Check();
    return SET_OF_String_count(m_deleted);
}

HRESULT CModDetector::GetDeleted(unsigned long index, char** uri)
{
    const SET_OF_String* node = m_deleted;
    for (unsigned long i = 0; node && i < index; ++i)
        node = node->next;
    if (node == nullptr || uri == nullptr)
        return E_FAIL;
    return String_Copy(node->element, uri);
}

HRESULT CModDetector::RefreshDeleteDetector()
{
    AuxFree(&m_previous);
    m_previous = m_current;
    m_current = nullptr;
    AuxFree(&m_deleted);
    m_dirty = true;
    return S_OK;
}

}  // namespace ZELK::PSESVC

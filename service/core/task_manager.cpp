#include "task_manager.h"

#include <climits>

#include "qev_time.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_timeapi = nullptr;
CLoadAPI s_loadTimeapi("zelkbase", ZELKBASE_TIMEAPI_API, &s_timeapi);
API_COMMON* s_secTime = nullptr;
CLoadAPI s_loadSecTime(nullptr, SEC_TIME_API, &s_secTime);

CZELK_CLASS s_class("zelk", "zelk.taskmanager", &CSingletonFactoryImpl<CTaskManager>::New);

constexpr unsigned int kEpochBits = 0xF0;
constexpr uint64_t kTicksPerMillisecond = 10000;

uint64_t TicksPerUnit(unsigned int format)
{
    switch (format & 0x0F) {
    case TIME_UNIT_SECONDS:
        return 10000000ull;
    case TIME_UNIT_MILLISECONDS:
        return 10000ull;
    case TIME_UNIT_MICROSECONDS:
        return 10ull;
    default:
        return 1;
    }
}

uint64_t Translate(uint64_t value, unsigned int from, unsigned int to)
{
    auto* table = ZELK_ApiCast<SEC_TIMEAPI_TABLE>(s_timeapi);
    return table ? table->time_TranslateTime(value, from, to) : 0;
}

uint64_t Now()
{
    return Translate(0, 0, TIME_FILETIME);
}

// The due time of (time, format) in 100 ns since 1601. A time so far away
// that the sum overflows is never due.
uint64_t DueTime(unsigned long long time, unsigned int format)
{
    if (format == 0)
        return time == 0 ? 0 : CTaskManager::kNever;
    uint64_t base = 0;
    switch (format & kEpochBits) {
    case TIME_EPOCH_1601:
        break;
    case TIME_EPOCH_1970:
        base = ZELK_TIME_EPOCH_DELTA;
        break;
    default:
        base = Now();
        break;
    }
    uint64_t ticks = 0;
    uint64_t due = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(time), TicksPerUnit(format), &ticks)
        || __builtin_add_overflow(ticks, base, &due))
        return CTaskManager::kNever;
    return Translate(time, format, TIME_FILETIME);
}

// The period of a periodic task in 100 ns; an overflowing one is never due again.
uint64_t Period(unsigned long long time, unsigned int format)
{
    uint64_t ticks = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(time), TicksPerUnit(format), &ticks))
        return CTaskManager::kNever;
    return Translate(time, format, TIME_UNIT_100NS);
}

// "<date> (in N seconds) :" of one due time, through the library's time texts.
void AppendDue(StringT<char>& text, uint64_t due, uint64_t now)
{
    text.Append("@");
    auto* time = ZELK_ApiCast<SEC_TIME_TABLE>(s_secTime);
    if (time) {
        auto seconds = static_cast<int64_t>(Translate(due, TIME_FILETIME, TIME_UNIXTIME));
        char* general = nullptr;
        char* display = nullptr;
        if (SUCCEEDED(time->from_seconds(SEC_TIME_GENERALIZED, seconds, &general))
            && SUCCEEDED(time->display(general, &display)))
            text.Append(display);
        sec_free(general);
        sec_free(display);
    }
    uint64_t in = due > now ? (due - now) / 10000000ull : 0;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "(in %d seconds) :", in > INT_MAX ? INT_MAX : static_cast<int>(in));
    text.Append(buffer);
}

}  // namespace

CTaskManager::~CTaskManager()
{
    CriticalCodeSection lock(&m_csList);
    while (CTaskInfo* task = m_tasks) {
        m_tasks = task->m_next;
        Destroy(task);
    }
    while (CTaskInfo* task = m_named) {
        m_named = task->m_next;
        Destroy(task);
    }
}

void CTaskManager::Destroy(CTaskInfo* task)
{
    task->Done();
    delete task;
}

HRESULT CTaskManager::Refresh()
{
    m_wakeup.Signal();
    return S_OK;
}

HRESULT CTaskManager::Initialize()
{
    if (!m_thread)
        return Thread::Create(&m_thread, this, &CTaskManager::Run);
    return S_OK;
}

HRESULT CTaskManager::Finalize()
{
    m_stop = true;
    m_wakeup.Signal();
    m_thread.Wait(-1);
    {
        CriticalCodeSection lock(&m_csList);
        while (CTaskInfo* task = m_tasks) {
            m_tasks = task->m_next;
            Destroy(task);
        }
        while (CTaskInfo* task = m_named) {
            m_named = task->m_next;
            Destroy(task);
        }
    }
    return CSingletonFactoryImpl<CTaskManager>::Finalize();
}

HRESULT CTaskManager::AddTask(const char* name, int (*function)(unsigned long), unsigned long argument,
                              unsigned long long time, unsigned int format, bool periodic)
{
    auto* task = new (std::nothrow) CTaskInfoCB(name, function, argument);
    if (task == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = AddTask(task, time, format, periodic);
    if (FAILED(hr))
        Destroy(task);
    return hr;
}

HRESULT CTaskManager::DeleteTask(int (*function)(unsigned long), unsigned long argument)
{
    CTaskInfoCB pattern(nullptr, function, argument);
    return DeleteTask(&pattern);
}

HRESULT CTaskManager::AddTask(CTaskInfo* task, unsigned long long time, unsigned int format, bool periodic)
{
    if (task == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csList);
    if (periodic && (format & kEpochBits) != 0)
        return E_INVALIDARG;
    SECTRACE_FormatLn(nullptr, 4, "CTaskManager: add task %s", static_cast<const char*>(task->m_name));
    task->m_period = periodic ? Period(time, format) : 0;
    task->m_due = DueTime(time, format);
    CTaskInfo** link = &m_tasks;
    while (*link && (*link)->m_due < task->m_due)
        link = &(*link)->m_next;
    task->m_next = *link;
    *link = task;
    if (m_tasks == task)
        m_wakeup.Signal();
    return S_OK;
}

HRESULT CTaskManager::DeleteTask(CTaskInfo* pattern)
{
    if (pattern == nullptr)
        return S_FALSE;
    CriticalCodeSection lock(&m_csList);
    bool deleted = false;
    for (CTaskInfo** list : {&m_tasks, &m_named}) {
        CTaskInfo** link = list;
        while (CTaskInfo* task = *link) {
            if (!task->IsEqual(pattern)) {
                link = &task->m_next;
                continue;
            }
            *link = task->m_next;
            SECTRACE_FormatLn(nullptr, 4, "CTaskManager: deleting task %s", static_cast<const char*>(task->m_name));
            Destroy(task);
            deleted = true;
        }
    }
    // A running task ends its run; the worker then destroys it.
    if (m_running && !m_runningDeleted && m_running->IsEqual(pattern)) {
        SECTRACE_FormatLn(nullptr, 4, "CTaskManager: deleting task %s", static_cast<const char*>(m_running->m_name));
        m_runningDeleted = true;
        deleted = true;
    }
    if (!deleted)
        return S_FALSE;
    TraceTasks();
    return S_OK;
}

HRESULT CTaskManager::GetExisting(CTaskManager** out)
{
    *out = nullptr;
    CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return E_FAIL;
    s_pThis->AddRef();
    *out = s_pThis;
    return S_OK;
}

HRESULT CTaskManager::ExecuteNamedTask(const char* name)
{
    CriticalCodeSection lock(&m_csList);
    CTaskInfo** link = &m_tasks;
    while (CTaskInfo* task = *link) {
        if (name == nullptr || task->m_name.IsEmpty() || task->m_name.Compare(name) != 0) {
            link = &task->m_next;
            continue;
        }
        *link = task->m_next;
        task->m_next = m_named;
        m_named = task;
    }
    if (m_named)
        m_wakeup.Signal();
    return S_FALSE;
}

int CTaskManager::NextWait(uint64_t now)
{
    CriticalCodeSection lock(&m_csList);
    if (m_named)
        return 0;
    if (m_tasks == nullptr || m_tasks->m_due == kNever)
        return -1;
    if (m_tasks->m_due <= now)
        return 0;
    // A wait longer than an int of milliseconds runs in steps.
    uint64_t ms = (m_tasks->m_due - now) / kTicksPerMillisecond;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

unsigned CTaskManager::Run()
{
    while (!m_stop) {
        uint64_t now = Now();
        int wait = NextWait(now);
        if (wait != 0) {
            m_wakeup.Wait(wait);
            now = Now();
        }
        if (m_stop)
            break;
        while (!m_stop) {
            CTaskInfo* task = nullptr;
            bool named = false;
            {
                CriticalCodeSection lock(&m_csList);
                if (m_named) {
                    task = m_named;
                    m_named = task->m_next;
                    named = true;
                } else if (m_tasks && m_tasks->m_due < now) {
                    task = m_tasks;
                    m_tasks = task->m_next;
                } else {
                    break;
                }
                task->m_next = nullptr;
                m_running = task;
                m_runningDeleted = false;
            }
            SECTRACE_FormatLn(nullptr, 4, "CTaskManager: begin task %s", static_cast<const char*>(task->m_name));
            task->Run();
            SECTRACE_FormatLn(nullptr, 4, "CTaskManager: end task %s", static_cast<const char*>(task->m_name));
            TraceTasks();
            CriticalCodeSection lock(&m_csList);
            m_running = nullptr;
            if (named || task->m_period == 0 || m_stop || m_runningDeleted)
                Destroy(task);
            else
                AddTask(task, task->m_period, TIME_UNIT_100NS, true);
            m_runningDeleted = false;
        }
    }
    return 0;
}

HRESULT CTaskManager::TraceScheduledTasks()
{
    if (!SECTRACE_Check(nullptr, 4))
        return S_OK;
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTaskManager::TraceScheduledTasks");
    CComObject<CTaskManager>* self = nullptr;
    {
        CriticalCodeSection lock(&s_cs);
        self = s_pThis;
        if (self)
            self->AddRef();
    }
    if (self == nullptr) {
        SECTRACE_WriteLn(nullptr, 4, "no tasks scheduled yet");
        return S_OK;
    }
    trace.result = self->TraceTasks();
    self->Release();
    return trace.result;
}

HRESULT CTaskManager::TraceTasks()
{
    // Nothing is built while the line would not be written.
    if (!SECTRACE_Check(nullptr, 4))
        return S_OK;
    uint64_t now = Now();
    StringT<char> text("Scheduled tasks:\n<<<<\n");
    {
        CriticalCodeSection lock(&m_csList);
        for (CTaskInfo* task = m_tasks; task; task = task->m_next) {
            if (task->m_due == 0)
                text.Append("@NOW :");
            else
                AppendDue(text, task->m_due, now);
            text.Append(task->m_name.IsEmpty() ? "" : static_cast<const char*>(task->m_name));
            text.Append("'\n");
        }
    }
    text.Append(">>>>\n");
    SECTRACE_WriteLn(nullptr, 4, text);
    return S_OK;
}

}  // namespace ZELK::PSESVC

// The service's one scheduler ("zelk.taskmanager"): named tasks with a due
// time and an optional period, run one at a time by one worker thread outside
// the list lock; parked tasks (never due) run only by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "../model/gui_model_base.h"
#include "../model/gui_model_taskmanager.h"
#include "zelk_object.h"
#include "zelk_sync.h"
#include "zelk_text.h"

ZELK_DEFINE_GUID(IID_CTaskManager, 0x5D0E7A14, 0xC6B2, 0x4E48, 0x83, 0x9F, 0x27, 0xA1, 0x6C, 0xE0, 0x54, 0xB9);

namespace ZELK::PSESVC {

class CTaskManager : public CGUIModel<IGUIModelTaskmanager>,
                     public CSingletonFactoryImpl<CTaskManager>,
                     public CComObjectRoot {
public:
    // A due time of all ones: the task runs only by name.
    static constexpr uint64_t kNever = UINT64_MAX;

    // The base of every task, owned by the scheduler from a successful AddTask
    // until it is destroyed.
    class CTaskInfo {
    public:
        CTaskInfo(const char* name, unsigned int kind) : m_name(name), m_kind(kind) {}
        virtual ~CTaskInfo() = default;
        CTaskInfo(const CTaskInfo&) = delete;
        CTaskInfo& operator=(const CTaskInfo&) = delete;

        virtual int Run() = 0;
        virtual HRESULT Done() { return S_OK; }
        virtual bool IsEqual(CTaskInfo* other) = 0;

        StringT<char> m_name;
        unsigned int m_kind;
        uint64_t m_due = 0;
        uint64_t m_period = 0;
        CTaskInfo* m_next = nullptr;
    };

    // A function with its argument; equal when the function is the same.
    class CTaskInfoCB : public CTaskInfo {
    public:
        typedef int (*Function)(unsigned long);
        CTaskInfoCB(const char* name, Function function, unsigned long argument = ~0ul)
            : CTaskInfo(name, 1), m_function(function), m_argument(argument)
        {}
        int Run() override { return m_function ? m_function(m_argument) : 0; }
        bool IsEqual(CTaskInfo* other) override
        {
            return other && other->m_kind == m_kind && static_cast<CTaskInfoCB*>(other)->m_function == m_function;
        }

        Function m_function;
        unsigned long m_argument;
    };

    // A member function of a reference-counted owner; the task holds one
    // reference from its creation to Done.
    template <class R, class T>
    class CTaskInfoClass : public CTaskInfo {
    public:
        typedef R (T::*Member)();
        CTaskInfoClass(const char* name, Member member, T* object, bool hold = true)
            : CTaskInfo(name, 2), m_object(object), m_member(member)
        {
            if (hold && m_object)
                m_object->AddRef();
        }
        int Run() override
        {
            if (m_object && m_member)
                (m_object->*m_member)();
            return 0;
        }
        HRESULT Done() override
        {
            T* object = m_object;
            m_object = nullptr;
            if (object)
                object->Release();
            return S_OK;
        }
        bool IsEqual(CTaskInfo* other) override
        {
            if (other == nullptr || other->m_kind != m_kind)
                return false;
            auto* same = dynamic_cast<CTaskInfoClass*>(other);
            return same && same->m_object == m_object && same->m_member == m_member;
        }

        T* m_object;
        Member m_member;
    };

    ZELK_BEGIN_INTMAP(CTaskManager)
    ZELK_INTMAP_ENTRY(IGUIModelTaskmanager)
    ZELK_INTMAP_ENTRY_CLASS(IID_CTaskManager)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CTaskManager; }

    CTaskManager() = default;
    ~CTaskManager() override;

    HRESULT Refresh() override;
    HRESULT Initialize() override;
    HRESULT Finalize() override;

    virtual HRESULT AddTask(const char* name, int (*function)(unsigned long), unsigned long argument,
                            unsigned long long time, unsigned int format, bool periodic);
    virtual HRESULT DeleteTask(int (*function)(unsigned long), unsigned long argument);
    // Moves every scheduled task of that name to the named-run queue; 1.
    virtual HRESULT ExecuteNamedTask(const char* name);
    // Takes `task` on success; 0x80000003 for a periodic task with an absolute
    // time (the task stays the caller's).
    virtual HRESULT AddTask(CTaskInfo* task, unsigned long long time, unsigned int format, bool periodic);
    // Deletes every scheduled, queued or running task equal to the pattern (a
    // running one finishes its run and is not scheduled again): 0, or 1 when
    // none matched. The pattern stays the caller's.
    virtual HRESULT DeleteTask(CTaskInfo* pattern);
    // The worker's body.
    virtual unsigned Run();

    // A member-function task; a refused task is destroyed, dropping its reference.
    template <class R, class T>
    HRESULT AddTask(const char* name, R (T::*member)(), T* object, unsigned long long time, unsigned int format,
                    bool periodic)
    {
        auto* task = new (std::nothrow) CTaskInfoClass<R, T>(name, member, object);
        if (task == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = AddTask(task, time, format, periodic);
        if (FAILED(hr)) {
            task->Done();
            delete task;
        }
        return hr;
    }

    template <class R, class T>
    HRESULT DeleteTask(R (T::*member)(), T* object)
    {
        CTaskInfoClass<R, T> pattern(nullptr, member, object, false);
        return DeleteTask(&pattern);
    }

    // Writes the schedule as one trace line at level 4.
    static HRESULT TraceScheduledTasks();
    // The scheduler with a reference when it exists, without creating it;
    // 0x80004005 (and NULL) when it does not.
    static HRESULT GetExisting(CTaskManager** out);

private:
    HRESULT TraceTasks();
    void Destroy(CTaskInfo* task);
    // The wait before the first task is due in milliseconds; -1 for none due.
    int NextWait(uint64_t now);

    CriticalSection m_csList;
    Event m_wakeup;
    Thread m_thread;
    std::atomic<bool> m_stop {false};
    CTaskInfo* m_tasks = nullptr;
    CTaskInfo* m_named = nullptr;
    // The task the worker runs, and whether it was deleted meanwhile.
    CTaskInfo* m_running = nullptr;
    bool m_runningDeleted = false;
};

}  // namespace ZELK::PSESVC

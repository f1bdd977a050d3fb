// The base of the service's monitors: one notify thread per monitor that
// prepares its source, loads it once, reports that first load and then
// reloads whenever its event is signalled or its time-out passes. A
// class-wide count lets callers wait until every monitor has loaded once.
#pragma once

#include <atomic>

#include "qevcrypto.h"
#include "zelk_object.h"
#include "zelk_sync.h"

namespace ZELK::PSESVC {

class CMonitor : public IUnknown, public CComObjectRoot {
public:
    CMonitor();
    ~CMonitor() override;

    virtual HRESULT Initialize();
    virtual HRESULT Finalize();
    virtual HRESULT Reset();
    virtual HRESULT Stop();
    virtual HRESULT Start();
    virtual HRESULT Suspend();
    virtual HRESULT Resume(bool signal);
    virtual HRESULT Reload() { return S_OK; }
    virtual HRESULT NotifyThread_Initialize() { return S_OK; }
    virtual unsigned NotifyThread();
    virtual HRESULT NotifyThread_Finalize() { return S_OK; }
    virtual HRESULT RegisterEvent() { return S_OK; }
    virtual HRESULT NotifyThread_SetInitialized();
    virtual bool NotifyThread_IsInitialized();
    virtual HRESULT NotifyThread_SetTimeout(unsigned int milliseconds);

    // Blocks until no monitor is still preparing its first load. A monitor
    // that has stopped, failed or gone holds no waiter, and a wait on a
    // monitor's own notify thread does not wait for that monitor. 0.
    static HRESULT WaitForAllInitialized();

    // The source's signal: an immediate reload.
    ISignal* GetSignal() { return &m_event; }

    // Monitors constructed and not destroyed, and those whose first load is
    // reported and whose thread runs.
    static int MonitorCount();
    static int InitializedCount();

protected:
    // Under the class lock: whether this monitor keeps waiters waiting.
    void SetPending(bool pending);

    bool m_bInitialized = false;
    std::atomic<bool> m_bSuspended {false};
    int m_timeout = -1;
    Thread m_thread;
    Event m_event;
    std::atomic<bool> m_bStop {false};

private:
    bool m_bPending = false;
};

// Finds the entries of one load that the previous load had and this one has
// not. Used only from a monitor's Reload, so it takes no lock.
class CModDetector {
public:
    CModDetector() = default;
    virtual ~CModDetector();
    CModDetector(const CModDetector&) = delete;
    CModDetector& operator=(const CModDetector&) = delete;

    virtual HRESULT AddNew(const char* uri);
    virtual unsigned long GetDeletedURIsCount();
    // A new copy (crypto library's allocator) of the entry; 0x80004005 past the end.
    virtual HRESULT GetDeleted(unsigned long index, char** uri);
    // The current set becomes the previous one; the others empty.
    virtual HRESULT RefreshDeleteDetector();
    virtual HRESULT Check();

private:
    SET_OF_String* m_previous = nullptr;
    SET_OF_String* m_current = nullptr;
    SET_OF_String* m_deleted = nullptr;
    bool m_dirty = true;
};

}  // namespace ZELK::PSESVC

#include "slot_events.h"

#include <new>

#include "../tokens/token_manager.h"
#include "pse_factory.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

ZELKSlotEvents::ZELKSlotEvents()
{
    CPSEFactory::RegiserSlotEvent(this);
}

ZELKSlotEvents::~ZELKSlotEvents()
{
    CPSEFactory::UnregiserSlotEvent(this);
}

HRESULT ZELKSlotEvents::Create(ZELKSlotEvents** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new (std::nothrow) ZELKSlotEvents();
    if (*out == nullptr)
        return E_OUTOFMEMORY;
    (*out)->AddRef();
    return S_OK;
}

HRESULT ZELKSlotEvents::QueryInterface(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_ISlotEvents)
        *out = static_cast<ISlotEvents*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

long ZELKSlotEvents::AddRef()
{
    return ++m_refs;
}

long ZELKSlotEvents::Release()
{
    long count = --m_refs;
    if (count == 0)
        delete this;
    return count;
}

bool ZELKSlotEvents::TryAddRef()
{
    long count = m_refs.load();
    while (count > 0) {
        if (m_refs.compare_exchange_weak(count, count + 1))
            return true;
    }
    return false;
}

HRESULT ZELKSlotEvents::SlotEvent(EVENT, SecSlot* slot)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKSlotEvents::SlotEvent");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (slot == nullptr || m_queue.Contains(slot))
            return trace.result = S_FALSE;
        m_queue.Add(slot);
    }
    m_changed.notify_all();
    return trace.result = S_OK;
}

HRESULT ZELKSlotEvents::wait(unsigned long flags, SecSlot** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKSlotEvents::wait");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_cancelled)
            return trace.result = CKR_NOT_INITIALIZED_RESULT;
        if (m_queue.Count() > 0) {
            SecSlot* slot = m_queue.TakeFirst();
            if (out)
                *out = slot;
            else
                slot->Release();
            return trace.result = S_OK;
        }
        if (flags & WAIT_DONT_BLOCK)
            return trace.result = CKR_NO_EVENT_RESULT;
        m_changed.wait(lock);
    }
}

HRESULT ZELKSlotEvents::cancel()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKSlotEvents::cancel");
    CTokenMgr* tokenMgr = nullptr;
    if (SUCCEEDED(CTokenMgr::GetExisting(&tokenMgr)) && tokenMgr) {
        tokenMgr->UnregisterEventSink(static_cast<ISlotEvents*>(this));
        tokenMgr->Release();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_changed.notify_all();
    return trace.result = S_OK;
}

}  // namespace ZELK::PSESVC

#include "token_manager.h"

#include "../core/monitor.h"
#include "../core/reader_manager.h"
#include "zelk_class.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.tokenmgr", &CSingletonFactoryImpl<CTokenMgr>::New);

}  // namespace

CTokenMgr::~CTokenMgr()
{
    if (m_readerMgr)
        m_readerMgr->Release();
}

HRESULT CTokenMgr::Initialize()
{
    CReaderMgr* readerMgr = nullptr;
    if (SUCCEEDED(CSingletonFactoryImpl<CReaderMgr>::New(&readerMgr)) && readerMgr) {
        m_readerMgr = readerMgr;
        m_readerMgr->RegisterEventSink(static_cast<ISlotEvents*>(this));
    }
    return S_OK;
}

HRESULT CTokenMgr::Finalize()
{
    if (m_readerMgr) {
        m_readerMgr->UnregisterEventSink(static_cast<ISlotEvents*>(this));
        m_readerMgr->Release();
        m_readerMgr = nullptr;
    }
    {
        CriticalCodeSection lock(&m_csSinks);
        m_sinks.Free();
    }
    return CSingletonFactoryImpl<CTokenMgr>::Finalize();
}

HRESULT CTokenMgr::SlotEvent(EVENT event, SecSlot* slot)
{
    if (event != CARD_CHANGED)
        ForwardEvent(event, slot);
    return S_OK;
}

HRESULT CTokenMgr::ForwardEvent(EVENT event, SecSlot* slot)
{
    CriticalCodeSection lock(&m_csSinks);
    for (uint64_t i = 0; i < m_sinks.Count(); ++i)
        m_sinks[i]->SlotEvent(event, slot);
    return S_OK;
}

HRESULT CTokenMgr::RegisterEventSink(IUnknown* sink)
{
    ZELK_PTR(ISlotEvents) events(sink);
    if (!events)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csSinks);
    m_sinks.Add(events);
    return S_OK;
}

HRESULT CTokenMgr::UnregisterEventSink(IUnknown* sink)
{
    ZELK_PTR(ISlotEvents) events(sink);
    if (!events)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csSinks);
    while (m_sinks.Delete(events)) {
    }
    return S_OK;
}

HRESULT CTokenMgr::GetExisting(CTokenMgr** out)
{
    *out = nullptr;
    CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return E_FAIL;
    s_pThis->AddRef();
    *out = s_pThis;
    return S_OK;
}

HRESULT CTokenMgr::WaitForAllMonitors()
{
    if (m_readerMgr)
        m_readerMgr->WaitForScan(true);
    CMonitor::WaitForAllInitialized();
    return S_OK;
}

}  // namespace ZELK::PSESVC

// The token manager without readers or sinks, for programs that hold the
// service PSE alone (with fake_token_calls.cpp for its token operations).
#include "tokens/token_manager.h"

namespace ZELK::PSESVC {

CTokenMgr::~CTokenMgr() = default;

HRESULT CTokenMgr::SlotEvent(EVENT, SecSlot*)
{
    return S_OK;
}

HRESULT CTokenMgr::Initialize()
{
    return S_OK;
}

HRESULT CTokenMgr::Finalize()
{
    return CSingletonFactoryImpl<CTokenMgr>::Finalize();
}

HRESULT CTokenMgr::RegisterEventSink(IUnknown*)
{
    return S_OK;
}

HRESULT CTokenMgr::UnregisterEventSink(IUnknown*)
{
    return S_OK;
}

HRESULT CTokenMgr::ForwardEvent(EVENT, SecSlot*)
{
    return S_OK;
}

HRESULT CTokenMgr::CardInsert(SecSlot*, bool)
{
    return E_FAIL;
}

HRESULT CTokenMgr::CardRemove(SecSlot*)
{
    return S_FALSE;
}

HRESULT CTokenMgr::GetReaderInfo(SecSlot*, CModelReader** reader)
{
    if (reader != nullptr)
        *reader = nullptr;
    return S_FALSE;
}

HRESULT CTokenMgr::WaitForAllMonitors()
{
    return S_OK;
}

HRESULT CTokenMgr::EmergencyShutdown()
{
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

}  // namespace ZELK::PSESVC

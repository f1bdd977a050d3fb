#include "pse_factory.h"

#include "../model/model_clients.h"
#include "attr.h"
#include "create_object.h"
#include "qev_attributes.h"
#include "slot_events.h"
#include "zelk_module.h"
#include "zelk_pseproxy.h"
#include "zelk_psesvc.h"
#include "zelk_trace.h"
#include "zelkpse.h"
#include "zelkpse_table.h"

namespace ZELK::PSESVC {

namespace {

API_COMMON* s_ascTable = nullptr;
CLoadAPI s_loadAsc(nullptr, "SEC_ASC_1", &s_ascTable);

CZELK_CLASS s_class("zelk", "zelk.psefactory", &CSingletonFactoryImpl<CPSEFactory>::New);

// A new security context of provider "zelk"; NULL when the library makes none.
ASC* NewContext()
{
    const auto* table = ZELK_ApiCast<SEC_ASC_TABLE>(s_ascTable);
    if (table == nullptr || table->create_ASC == nullptr)
        return nullptr;
    Attr<1u> chain;
    chain.Add(SEC_ATTR_PROVIDER, "zelk");
    ASC* asc = nullptr;
    table->create_ASC(&asc, chain);
    return asc;
}

// The library bound this module's provider table to make the context's PSE;
// the binding is balanced here, once per context.
void BalanceProviderBinding()
{
    API_COMMON* own = &ZELKPSE_FUNCTIONS_var;
    ZELK_ReleaseAPI(&own);
}

}  // namespace

CPSEFactory::~CPSEFactory() = default;

HRESULT CPSEFactory::Initialize()
{
    return CSingletonFactoryImpl<CPSEFactory>::Initialize();
}

HRESULT CPSEFactory::Finalize()
{
    {
        CriticalCodeSection lock(&m_cs);
        m_hasContext = false;
        m_asc.Free();
        if (m_provider)
            ZELK_ReleaseAPI(&m_provider);
    }
    return CSingletonFactoryImpl<CPSEFactory>::Finalize();
}

HRESULT CPSEFactory::CreateInstance()
{
    if (m_hasContext)
        return S_OK;
    CriticalCodeSection lock(&m_cs);
    if (m_asc)
        return S_OK;
    ASC* asc = NewContext();
    if (asc == nullptr)
        return S_OK;
    PSE* pse = nullptr;
    asc->getPSE(&pse);
    if (pse) {
        BalanceProviderBinding();
        pse->Release();
    }
    m_asc.Attach(asc);
    m_hasContext = true;
    return S_OK;
}

HRESULT CPSEFactory::CreateInstance(IUnknown*, const GUID&, void** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CPSEFactory::CreateInstance");
    if (out == nullptr)
        return trace.result = E_POINTER;
    *out = nullptr;
    CreateInstance();
    PSE* pse = nullptr;
    {
        CriticalCodeSection lock(&m_cs);
        if (m_asc)
            m_asc->getPSE(&pse);
    }
    if (pse == nullptr)
        return trace.result = E_FAIL;

    ITunnelPSE* stub = nullptr;
    ZELK_CreateObject("zelkps", "zelk.pseproxy.stub", &stub);
    if (stub) {
        stub->SetPSE(pse);
        stub->SetCallback(static_cast<ITunnelCallback*>(this));
        *out = stub;
    }
    HandToProvider(pse);
    pse->Release();
    return trace.result = stub ? S_OK : E_FAIL;
}

void CPSEFactory::HandToProvider(PSE* pse)
{
    {
        CriticalCodeSection lock(&m_cs);
        if (m_providerTried)
            return;
        m_providerTried = true;
        ZELK_GetAPI("zelkpse", "SEC_PSE_1", &m_provider);
    }
    const auto* table = ZELK_ApiCast<SEC_PSE_TABLE>(m_provider);
    if (table == nullptr || table->create_PSE == nullptr)
        return;
    Attr<1u> chain;
    chain.Add(ATTR_SERVICE_PSE, pse);
    table->create_PSE(nullptr, nullptr, chain);
}

HRESULT CPSEFactory::LockServer(bool lock)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CPSEFactory::LockServer");
    if (lock)
        return trace.result = S_FALSE;
    // The references are taken under the lock: an object whose count has
    // reached zero is being destroyed and waits for the lock to leave the
    // list, so it is skipped.
    AuxPtrArray<ZELKSlotEvents> pending;
    {
        CriticalCodeSection guard(&m_cs);
        for (uint64_t i = 0; i < m_pending.Count(); ++i)
            if (m_pending[i]->TryAddRef())
                pending.Add(m_pending[i]);
        m_pending.Free();
    }
    for (uint64_t i = 0; i < pending.Count(); ++i)
        pending[i]->cancel();
    for (uint64_t i = 0; i < pending.Count(); ++i)
        pending[i]->Release();
    return trace.result = S_FALSE;
}

HRESULT CPSEFactory::SetTunnelSource(IUnknown* source)
{
    ZELKPSE::SetTunnelSource(source);
    return S_OK;
}

HRESULT CPSEFactory::Reset(ITunnel*)
{
    ZELKPSE::ConnectToServer(1, nullptr);
    return S_OK;
}

HRESULT CPSEFactory::ClientConnect(const char* process, unsigned int pid)
{
    return CModelClients::ClientConnect(process, pid);
}

HRESULT CPSEFactory::ClientDisconnect(const char* process, unsigned int pid)
{
    return CModelClients::ClientDisconnect(process, pid);
}

HRESULT CPSEFactory::ClientActive(const char* process, unsigned int pid)
{
    return CModelClients::ClientActive(process, pid);
}

HRESULT CPSEFactory::RegiserSlotEvent(ZELKSlotEvents* events)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CPSEFactory::RegiserSlotEvent");
    CriticalCodeSection lock(&s_cs);
    if (s_pThis) {
        CriticalCodeSection list(&s_pThis->m_cs);
        s_pThis->m_pending.Add(events);
    }
    return trace.result = S_OK;
}

HRESULT CPSEFactory::UnregiserSlotEvent(ZELKSlotEvents* events)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CPSEFactory::UnregiserSlotEvent");
    CriticalCodeSection lock(&s_cs);
    if (s_pThis) {
        CriticalCodeSection list(&s_pThis->m_cs);
        s_pThis->m_pending.Delete(events);
    }
    return trace.result = S_OK;
}

uint64_t CPSEFactory::PendingCount()
{
    CriticalCodeSection lock(&m_cs);
    return m_pending.Count();
}

HRESULT CPSEFactory::GetASC(ASC** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CPSEFactory* factory = nullptr;
    if (FAILED(CSingletonFactoryImpl<CPSEFactory>::New(&factory)) || factory == nullptr)
        return E_FAIL;
    factory->CreateInstance();
    {
        CriticalCodeSection lock(&factory->m_cs);
        if (factory->m_asc) {
            factory->m_asc->AddRef();
            *out = factory->m_asc;
        }
    }
    static_cast<IClassFactory*>(factory)->Release();
    return *out ? S_OK : E_FAIL;
}

HRESULT CPSEFactory::GetASC(ASC** out, ZELK_IPolicy* policy)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    ASC* asc = NewContext();
    if (asc == nullptr)
        return E_FAIL;
    PSE* pse = nullptr;
    asc->getPSE(&pse);
    if (pse) {
        BalanceProviderBinding();
        ZELKPSE* service = nullptr;
        if (SUCCEEDED(pse->QueryInterface(IID_ZELKPSE, reinterpret_cast<void**>(&service))) && service) {
            service->SetFilterPolicy(policy);
            service->Release();
        }
        pse->Release();
    }
    *out = asc;
    return S_OK;
}

}  // namespace ZELK::PSESVC

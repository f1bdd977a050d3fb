#include "zelkpse.h"

#include "zelk_holders.h"

namespace ZELK::PSESVC {

ZELKPSE::~ZELKPSE()
{
    if (PSE* real = m_realPSE.load())
        real->Release();
    for (sApplObject* object : m_applObjects) {
        AuxFree(&object->value);
        delete object;
    }
    if (m_ascHeld.load() && m_asc)
        m_asc->Release();
}

HRESULT ZELKPSE::New(ASC* asc, PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (asc == nullptr)
        return E_INVALIDARG;
    CComObject<ZELKPSE>* object = nullptr;
    HRESULT hr = CComObject<ZELKPSE>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    object->SetASC(asc);
    *out = object;
    return S_OK;
}

HRESULT ZELKPSE::SetASC(ASC* asc)
{
    std::lock_guard<std::mutex> lock(m_ascLock);
    if (asc == m_asc)
        return S_FALSE;
    // While the creator's is the only reference, the ASC holds this object and
    // a reference back would keep both alive.
    bool hold = m_dwRef > 1;
    if (hold && asc)
        asc->AddRef();
    if (m_ascHeld.load() && m_asc)
        m_asc->Release();
    m_asc = asc;
    m_ascHeld.store(hold && asc);
    return S_OK;
}

void ZELKPSE::HoldASC()
{
    ASC* release = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_ascLock);
        bool want = m_dwRef > 1 && m_asc != nullptr;
        if (want == m_ascHeld.load())
            return;
        m_ascHeld.store(want);
        if (want)
            m_asc->AddRef();
        else
            release = m_asc;
    }
    if (release)
        release->Release();
}

HRESULT ZELKPSE::SetFilterPolicy(ZELK_IPolicy*)
{
    m_tokenFilter.Add("NONE");
    return S_OK;
}

}  // namespace ZELK::PSESVC

#include "pse_access.h"

#include "core/core_bindings.h"
#include "qev_attributes.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace kestrin::base {
namespace {

API_COMMON* fptr__asc = nullptr;
CLoadAPI OnDemand_Load_SEC_ASC(nullptr, "SEC_ASC_1", &fptr__asc);

CZELK_CLASS s_pse("zelkbase", ZELK_CLASS_PSE, CSingletonFactoryImpl<CPSE>::New);

}  // namespace

CPSE::CPSE()
{
    const auto* table = ZELK_ApiCast<SEC_ASC_TABLE>(fptr__asc);
    if (table == nullptr || table->create_ASC == nullptr)
        return;
    char provider[] = "zelk";
    SECAttribute chain = {};
    chain.id = SEC_ATTR_PROVIDER;
    chain.value = provider;
    chain.type = CommonType(SEC_TYPE_String);
    if (FAILED(table->create_ASC(&m_asc, &chain)) || !m_asc)
        return;
    m_asc->getPSE(&m_pse);
}

CPSE::~CPSE()
{
    m_pse.Free();
    m_asc.Free();
}

namespace {

// The singleton's object of type T (ASC or PSE) with one reference for the
// caller; 0x80004005 with *out NULL when there is none.
template <class T>
HRESULT HandOut(T* (CPSE::*get)(), T** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CPSE* pse = nullptr;
    HRESULT hr = ZELK_CreateObject("zelkbase", ZELK_CLASS_PSE, IID_CPSE, reinterpret_cast<void**>(&pse));
    if (FAILED(hr))
        return hr;
    T* object = pse != nullptr ? (pse->*get)() : nullptr;
    if (object != nullptr)
        object->AddRef();
    if (pse != nullptr)
        pse->Release();
    *out = object;
    return object != nullptr ? S_OK : E_FAIL;
}

}  // namespace

HRESULT ASC_GetASC(ASC** out)
{
    return HandOut(&CPSE::GetASC, out);
}

HRESULT ASC_GetPSE(PSE** out)
{
    return HandOut(&CPSE::GetPSE, out);
}

namespace {

// The context's accessor with `out`, and its answer.
HRESULT AskContext(HRESULT (ASC::*accessor)(void*), void* out)
{
    AuxRefPtr<ASC, ASC> asc;
    HRESULT hr = ASC_GetASC(&asc);
    if (FAILED(hr))
        return hr;
    return (asc->*accessor)(out);
}

HRESULT ASC_GetDB_CERT(void* out)
{
    return AskContext(&ASC::getCertDB, out);
}

HRESULT ASC_GetVerificationContext(void* out)
{
    return AskContext(&ASC::getVerificationContext, out);
}

HRESULT ZELKBASE_ASC_get_info(const char** name, const char** module, const char** description)
{
    if (name)
        *name = ZELKBASE_ASC_API;
    if (module)
        *module = ZELK_GetModuleName();
    if (description)
        *description = "";
    return S_OK;
}

ZELKBASE_ASC_FUNCTIONS sZELKBASE_ASC_TABLE = {
    {ZELKBASE_ASC_get_info}, ASC_GetASC, ASC_GetPSE, ASC_GetDB_CERT, ASC_GetVerificationContext};
CZELK_API s_register("zelkbase", ZELKBASE_ASC_API, &sZELKBASE_ASC_TABLE);

}  // namespace
}  // namespace kestrin::base

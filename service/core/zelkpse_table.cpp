// "SEC_PSE_1" of module "zelk": the provider table through which the crypto
// library makes a service PSE for every security context named "zelk".
#include "zelkpse_table.h"

#include "zelk_module.h"
#include "zelk_trace.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_libraryPSE = nullptr;
CLoadAPI s_loadLibraryPSE(nullptr, "SEC_PSE_1", &s_libraryPSE);

HRESULT get_info(const char** api, const char** module, const char** description)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::get_info");
    if (api)
        *api = "SEC_PSE_1";
    if (module)
        *module = "zelk";
    if (description)
        *description = "zelk";
    return trace.result = S_OK;
}

HRESULT create_PSE(PSE** out, ASC* asc, SECAttribute*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::create_PSE");
    if (out == nullptr)
        return trace.result = S_OK;
    *out = nullptr;
    CComObject<ZELKPSE>* object = nullptr;
    trace.result = CComObject<ZELKPSE>::CreateInstance(&object);
    if (FAILED(trace.result))
        return trace.result;
    object->SetASC(asc);
    object->AddRef();
    *out = object;
    return trace.result;
}

const SEC_PSE_TABLE* LibraryTable()
{
    return ZELK_ApiCast<SEC_PSE_TABLE>(s_libraryPSE);
}

HRESULT initialize_PSE(const char* first, const char* second)
{
    const SEC_PSE_TABLE* table = LibraryTable();
    if (table == nullptr || table->initialize_PSE == nullptr)
        return E_FAIL;
    return table->initialize_PSE(first, second);
}

HRESULT getSlot(SecSlot** out, const char* name)
{
    return ZELKPSE::getSlot(out, name);
}

CZELK_API s_api("zelk", "SEC_PSE_1", &ZELKPSE_FUNCTIONS_var);

}  // namespace

SEC_PSE_TABLE ZELKPSE_FUNCTIONS_var = {{get_info}, create_PSE, initialize_PSE, getSlot};

HRESULT ZELKPSE::getSlot(SecSlot** out, const char* name)
{
    const SEC_PSE_TABLE* table = LibraryTable();
    if (table == nullptr || table->getSlot == nullptr)
        return E_FAIL;
    return table->getSlot(out, name);
}

}  // namespace ZELK::PSESVC

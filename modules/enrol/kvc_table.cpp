// The embedding interface's entries: modules export only module_init, so a
// host binds the table "zelk.kvlogin.kvc.1" of module "zelkkvlogin" and
// calls its entries 1 and 2.
#include "kvc_provider.h"
#include "kvc_pse.h"
#include "zelk_module.h"

namespace {

using namespace kestrin::enrol;

HRESULT kvc_get_info(const char** table, const char** module, const char** description)
{
    if (table != nullptr)
        *table = ZELK_KVC_API;
    if (module != nullptr)
        *module = ZELK_KESTRIN_MODULE;
    if (description != nullptr)
        *description = "enrolment embedding interface";
    return S_OK;
}

extern "C" HRESULT KVC_IProvider_new(KVC_IProvider** out, KVC_IHandler* handler)
{
    if (out == nullptr)
        return E_POINTER;
    KVC_Provider* provider = nullptr;
    HRESULT hr = KVC_Provider::New(&provider, handler);
    *out = provider;
    return hr;
}

extern "C" HRESULT KVC_IPSE_new(KVC_IPSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    KVC_PSE* container = nullptr;
    HRESULT hr = KVC_PSE::New(&container);
    *out = container;
    return hr;
}

ZELK_KVC_TABLE s_table = {{&kvc_get_info}, &KVC_IProvider_new, &KVC_IPSE_new};
CZELK_API s_register(ZELK_KESTRIN_MODULE, ZELK_KVC_API, &s_table);

}  // namespace

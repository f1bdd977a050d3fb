// Module "secpse" of the crypto library stand-in: a second "SEC_PSE_1" table
// through which the PSE provider module opens the library's slots by name.
// It makes no PSE of its own; slots come from the library's own table.
#include <cstring>

#include "qev_pse.h"

namespace {

constexpr const char* kModule = "secpse";
constexpr const char* kTable = "SEC_PSE_1";

SEC_FUNCTION_LIST* s_list = nullptr;

HRESULT secpse_get_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = kTable;
    if (module)
        *module = kModule;
    if (description)
        *description = kModule;
    return S_OK;
}

HRESULT secpse_create_PSE(PSE**, ASC*, SECAttribute*)
{
    return E_NOTIMPL;
}

HRESULT secpse_initialize_PSE(const char*, const char*)
{
    return E_NOTIMPL;
}

HRESULT secpse_getSlot(SecSlot** out, const char* name)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    API_COMMON* table = nullptr;
    HRESULT hr = s_list != nullptr ? s_list->get_api(nullptr, kTable, &table) : E_FAIL;
    if (FAILED(hr))
        return hr;
    const auto* library = ZELK_ApiCast<SEC_PSE_TABLE>(table);
    hr = library->getSlot(out, name);
    s_list->release_api(&table);
    return hr;
}

SEC_PSE_TABLE s_table = {{&secpse_get_info}, &secpse_create_PSE, &secpse_initialize_PSE, &secpse_getSlot};

HRESULT secpse_get_api(const char* module, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = nullptr;
    if (module != nullptr && std::strcmp(module, kModule) != 0)
        return ZELK_E_API_NOTFOUND;
    if (std::strcmp(api, kTable) != 0)
        return ZELK_E_API_NOTFOUND;
    *out = &s_table;
    return S_OK;
}

}  // namespace

extern "C" QEV_EXPORT HRESULT module_init(SEC_FUNCTION_LIST* list, MODULE_GET_API_FN* getter, void*, void*)
{
    s_list = list;
    if (getter)
        *getter = &secpse_get_api;
    return S_OK;
}

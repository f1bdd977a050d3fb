#include "zelk_module.h"

#include <cstring>

#include "zelk_loader.h"

SEC_FUNCTION_LIST* sdk_f_list = nullptr;

CZELK_API* CZELK_API::s_first = nullptr;

namespace {

constexpr size_t kModuleNameMax = 32;

char s_szModuleName[kModuleNameMax + 1];
int s_cZELK_Initialize = 0;
void* s_hinstSECLOADER = nullptr;

}  // namespace

extern "C" QEV_EXPORT HRESULT module_init(SEC_FUNCTION_LIST* list, MODULE_GET_API_FN* getter, void*, void*)
{
    if (sdk_f_list == nullptr)
        sdk_f_list = list;
    if (getter)
        *getter = &impl_module_get_API;
    return ZELK_Initialize();
}

HRESULT impl_module_get_API(const char* module, const char* api, API_COMMON** out)
{
    HRESULT hr = ZELK_SetModuleName(module);
    if (FAILED(hr))
        return hr;
    return CZELK_API::GetAPI(api, out);
}

HRESULT ZELK_SetModuleName(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return S_OK;
    if (s_szModuleName[0] == '\0') {
        size_t n = strnlen(name, kModuleNameMax);
        std::memcpy(s_szModuleName, name, n);
        s_szModuleName[n] = '\0';
        return S_OK;
    }
    return std::strncmp(s_szModuleName, name, kModuleNameMax) == 0 ? S_OK : ZELK_E_API_NOTFOUND;
}

const char* ZELK_GetModuleName()
{
    return s_szModuleName[0] ? s_szModuleName : nullptr;
}

HRESULT ZELK_Initialize()
{
    if (sdk_f_list == nullptr) {
        if (s_hinstSECLOADER == nullptr) {
            ZELK_LoadLibrary("qevcrypto", &s_hinstSECLOADER);
            if (s_hinstSECLOADER == nullptr)
                return E_FAIL;
        }
        auto getList =
            reinterpret_cast<CRYPTOLIB_GET_F_LIST_FN>(ZELK_GetProcAddress(s_hinstSECLOADER, "cryptolib_get_f_list"));
        if (getList == nullptr) {
            ZELK_FreeLibrary(&s_hinstSECLOADER);
            return E_FAIL;
        }
        getList(0, nullptr, &sdk_f_list, nullptr, "", 0);
        // A library that hands out no list cannot bind anything: the binders
        // would call through an empty list.
        if (sdk_f_list == nullptr) {
            ZELK_FreeLibrary(&s_hinstSECLOADER);
            return E_FAIL;
        }
    }
    ++s_cZELK_Initialize;
    return CSingletons::Initialize();
}

HRESULT ZELK_Finalize()
{
    if (s_cZELK_Initialize == 0)
        return E_FAIL;
    if (--s_cZELK_Initialize > 0)
        return S_OK;
    ZELK_FreeInstallationRoot();
    HRESULT hr = CSingletons::Finalize();
    if (s_hinstSECLOADER) {
        if (sdk_f_list)
            sdk_f_list->release(sdk_f_list);
        sdk_f_list = nullptr;
        ZELK_FreeLibrary(&s_hinstSECLOADER);
    }
    sdk_f_list = nullptr;
    return hr;
}

HRESULT ZELK_GetAPI(const char* module, const char* api, API_COMMON** var)
{
    if (sdk_f_list == nullptr)
        return E_FAIL;
    return sdk_f_list->get_api(module, api, var);
}

HRESULT ZELK_ReleaseAPI(API_COMMON** var)
{
    if (sdk_f_list == nullptr)
        return E_FAIL;
    HRESULT hr = sdk_f_list->release_api(var);
    if (var)
        *var = nullptr;
    return hr;
}

CZELK_API::CZELK_API(const char*, const char* api, API_COMMON* table) : m_api(api), m_table(table), m_next(s_first)
{
    s_first = this;
}

CZELK_API::~CZELK_API()
{
    for (CZELK_API** link = &s_first; *link; link = &(*link)->m_next) {
        if (*link == this) {
            *link = m_next;
            break;
        }
    }
}

HRESULT CZELK_API::PrepareAPI()
{
    return S_OK;
}

HRESULT CZELK_API::GetAPI(const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = nullptr;
    for (CZELK_API* entry = s_first; entry; entry = entry->m_next) {
        if (entry->m_api && std::strcmp(entry->m_api, api) == 0) {
            if (FAILED(entry->PrepareAPI()))
                return ZELK_E_API_NOTFOUND;
            *out = entry->m_table;
            return S_OK;
        }
    }
    return ZELK_E_API_NOTFOUND;
}

CUnloadAPI::CUnloadAPI(API_COMMON** tableVar) : var(tableVar)
{
    ZELK_RegisterSingleton(this, 0);
}

CUnloadAPI::~CUnloadAPI()
{
    CSingletons::Unregister(this);
}

HRESULT CUnloadAPI::Initialize()
{
    return S_OK;
}

HRESULT CUnloadAPI::Finalize()
{
    if (var && *var)
        ZELK_ReleaseAPI(var);
    return S_OK;
}

CLoadAPI::CLoadAPI(const char* moduleName, const char* apiName, API_COMMON** tableVar)
    : CUnloadAPI(tableVar), module(moduleName), api(apiName)
{}

HRESULT CLoadAPI::Initialize()
{
    if (var == nullptr)
        return E_FAIL;
    if (*var)
        return S_OK;
    return ZELK_GetAPI(module, api, var) == S_OK ? S_OK : E_FAIL;
}

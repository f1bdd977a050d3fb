// The table "zelk.misc.resloader.fkts.1", registered under the module's name.
#include "lang_table.h"
#include "res_file.h"
#include "res_locale.h"
#include "res_manager.h"
#include "zelk_module.h"

namespace kestrin::resloader {
namespace {

HRESULT ZELK_RESLOADER_FKTS_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELK_RESLOADER_API;
    if (module)
        *module = ZELK_RESLOADER_MODULE;
    if (description)
        *description = "";
    return S_OK;
}

HRESULT LoadResources(const wchar_t* language, const wchar_t* country, const wchar_t* bundle, const wchar_t* directory,
                      HashTable_void** plain)
{
    return LoadResourcesEx(language, country, bundle, directory, plain, nullptr);
}

HRESULT GetResourceManager(const wchar_t* bundle, IResourceManager** out)
{
    return CResourceManager::New(bundle, out);
}

HRESULT GetResourceManager2(const wchar_t* bundle, const wchar_t* directory, IResourceManager** out)
{
    return CResourceManager::New(nullptr, bundle, directory, out);
}

HRESULT GetResourceManagerEx(const char* locale, const wchar_t* bundle, IResourceManager** out)
{
    return CResourceManager::New(locale, bundle, out);
}

HRESULT GetResourceManagerEx2(const char* locale, const wchar_t* bundle, const wchar_t* directory,
                              IResourceManager** out)
{
    return CResourceManager::New(locale, bundle, directory, out);
}

ZELK_RESLOADER_FKTS s_table = {
    {&ZELK_RESLOADER_FKTS_get_info},
    &GetLangID,
    &LoadResources,
    &GetResourceManager,
    &GetResourceManager2,
    &GetResourceManagerEx,
    &GetResourceManagerEx2,
    &GetCurrentPath,
    &GetLocale,
    &SplitLocale,
};

CZELK_API s_register(ZELK_RESLOADER_MODULE, ZELK_RESLOADER_API, &s_table);

}  // namespace
}  // namespace kestrin::resloader

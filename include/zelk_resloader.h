// Localised texts of module "zelkresloader": the resource manager interface,
// the table "zelk.misc.resloader.fkts.1" and, for client deliverables, its
// binding and thin wrappers. A manager hands out the texts of one bundle
// ("zelkgui", "kvlogsvc") for the user's locale; the texts stay owned by the
// manager and live as long as it does.
#pragma once

#include "qevcrypto.h"
#include "zelk_guid.h"
#include "zelk_hashtable.h"
#include "zelk_module.h"
#include "zelk_text.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IResourceManager, 0x6CE507E0, 0x7766, 0x40BD, 0xB5, 0x0C, 0xE7, 0xF7, 0x4C, 0x7A, 0x47, 0xB1);
ZELK_DEFINE_GUID(IID_CResourceManager, 0x6CE507E0, 0x7766, 0x40BD, 0xB5, 0x0C, 0xE7, 0xF7, 0x4C, 0x7A, 0x47, 0xB2);

class IResourceManager : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IResourceManager; }

    // The text of a key: NULL for a key the bundle lacks, the fixed text
    // "no resources available" while the bundle cannot be loaded (each call
    // then tries to load it again). Thread-safe; the same key answers the
    // same pointer every time.
    virtual const wchar_t* GetW(const char* key) = 0;
    virtual const char* Get(const char* key) = 0;
};

inline constexpr const char* ZELK_RESLOADER_MODULE = "zelkresloader";
inline constexpr const char* ZELK_RESLOADER_API = "zelk.misc.resloader.fkts.1";
inline constexpr const char* ZELK_RESLOADER_NO_RESOURCES = "no resources available";
inline constexpr const wchar_t* ZELK_RESLOADER_NO_RESOURCES_W = L"no resources available";

typedef StringT<wchar_t> ZELK_RES_TEXT;

extern "C" {

// The table "zelk.misc.resloader.fkts.1", slots in order. Output holders are
// overwritten (what they held is freed first).
struct ZELK_RESLOADER_FKTS : API_COMMON {
    // Language and country of a Windows language identifier (low 16 bits).
    // 0x80000003 for 0xFFFFFFFF or a NULL output, 0x80004005 for an unknown language.
    HRESULT (*GetLangID)(unsigned int langId, ZELK_RES_TEXT* language, ZELK_RES_TEXT* country);  // 1
    // The bundle's texts of a locale from `directory` (NULL: the default
    // folder) into a new table of text keys and text values (one reference
    // for the caller). 0x80004005 when no file is found or it does not parse.
    HRESULT(*LoadResources)
    (const wchar_t* language, const wchar_t* country, const wchar_t* bundle, const wchar_t* directory,
     HashTable_void** plain);  // 2
    // A manager of the bundle for the current locale; 0 and one reference
    // whether or not the texts could be found (0x80000003 without bundle or out).
    HRESULT (*GetResourceManager)(const wchar_t* bundle, IResourceManager** out);                             // 3
    HRESULT (*GetResourceManager2)(const wchar_t* bundle, const wchar_t* directory, IResourceManager** out);  // 4
    // `locale` as "ll_CC" (optionally followed by ".", "-" or "=" and anything).
    HRESULT (*GetResourceManagerEx)(const char* locale, const wchar_t* bundle, IResourceManager** out);  // 5
    HRESULT(*GetResourceManagerEx2)
    (const char* locale, const wchar_t* bundle, const wchar_t* directory,
     IResourceManager** out);  // 6
    // The default resource folder (derived from the module's own folder); always 0.
    HRESULT (*GetCurrentPath)(ZELK_RES_TEXT* directory);  // 7
    // The locale in force: "Locale" of policy "Common", else the environment
    // (LC_ALL, LC_MESSAGES, LANG). 0x80004005 when neither gives one.
    HRESULT (*GetLocale)(ZELK_RES_TEXT* language, ZELK_RES_TEXT* country);  // 8
    // 0, 0x80000003 for a NULL argument, 0x80004005 for a text of another form.
    HRESULT (*SplitLocale)(const char* text, ZELK_RES_TEXT* language, ZELK_RES_TEXT* country);  // 9
};

}  // extern "C"

// A client deliverable binds the table once, in one of its source files:
//   ZELK_RESLOADER_CLIENT_BINDING();
extern API_COMMON* ZELK_RESLOADER_FKTS_TABLE;

#define ZELK_RESLOADER_CLIENT_BINDING()                                                                                \
    API_COMMON* ZELK_RESLOADER_FKTS_TABLE = nullptr;                                                                   \
    static CLoadAPI dynload_zelk_resloader(ZELK_RESLOADER_MODULE, ZELK_RESLOADER_API, &ZELK_RESLOADER_FKTS_TABLE)

namespace kestrin::runtime::resloader {
inline const ZELK_RESLOADER_FKTS* T()
{
    return ZELK_ApiCast<ZELK_RESLOADER_FKTS>(ZELK_RESLOADER_FKTS_TABLE);
}
}  // namespace kestrin::runtime::resloader

// The wrappers answer 0x80004005 while the table is unbound.
inline HRESULT GetResourceManager(const wchar_t* bundle, IResourceManager** out)
{
    return kestrin::runtime::resloader::T() ? kestrin::runtime::resloader::T()->GetResourceManager(bundle, out)
                                            : E_FAIL;
}
inline HRESULT GetResourceManager2(const wchar_t* bundle, const wchar_t* directory, IResourceManager** out)
{
    return kestrin::runtime::resloader::T()
               ? kestrin::runtime::resloader::T()->GetResourceManager2(bundle, directory, out)
               : E_FAIL;
}
inline HRESULT GetResourceManagerEx(const char* locale, const wchar_t* bundle, IResourceManager** out)
{
    return kestrin::runtime::resloader::T()
               ? kestrin::runtime::resloader::T()->GetResourceManagerEx(locale, bundle, out)
               : E_FAIL;
}
inline HRESULT GetResourceManagerEx2(const char* locale, const wchar_t* bundle, const wchar_t* directory,
                                     IResourceManager** out)
{
    return kestrin::runtime::resloader::T()
               ? kestrin::runtime::resloader::T()->GetResourceManagerEx2(locale, bundle, directory, out)
               : E_FAIL;
}
inline HRESULT ZELK_ResGetLocale(ZELK_RES_TEXT* language, ZELK_RES_TEXT* country)
{
    return kestrin::runtime::resloader::T() ? kestrin::runtime::resloader::T()->GetLocale(language, country) : E_FAIL;
}

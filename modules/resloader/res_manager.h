// The resource manager: the texts of one bundle for one locale, loaded on
// first use and kept for the manager's life.
#pragma once

#include <atomic>

#include "res_file.h"
#include "zelk_object.h"
#include "zelk_resloader.h"
#include "zelk_sync.h"

namespace kestrin::resloader {

class CResourceManager : public IResourceManager, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CResourceManager)
    ZELK_INTMAP_ENTRY(IResourceManager)
    ZELK_INTMAP_ENTRY_CLASS(IID_CResourceManager)
    ZELK_END_INTMAP()

    CResourceManager() = default;
    ~CResourceManager() override;

    // Each fills the locale (a locale that cannot be found stays empty), the
    // bundle and the directory, tries the first load and hands out one
    // reference: 0 whether or not texts were found; 0x80000003 without
    // bundle or out, 0x8007000E when memory runs out.
    static HRESULT New(const wchar_t* bundle, IResourceManager** out);
    // The locale of a Windows language identifier, through the language table.
    static HRESULT New(unsigned langId, const wchar_t* bundle, IResourceManager** out);
    static HRESULT New(unsigned langId, const wchar_t* bundle, const wchar_t* directory, IResourceManager** out);
    static HRESULT New(const char* locale, const wchar_t* bundle, IResourceManager** out);
    // `locale` NULL: the current locale.
    static HRESULT New(const char* locale, const wchar_t* bundle, const wchar_t* directory, IResourceManager** out);

    const wchar_t* GetW(const char* key) override;
    const char* Get(const char* key) override;

private:
    // Where the locale comes from: the current one, a locale text or a
    // language identifier.
    struct LocaleSource {
        enum { Current, Text, LangId } kind;
        const char* locale;
        unsigned langId;
    };
    static HRESULT Create(const LocaleSource& source, const wchar_t* bundle, const wchar_t* directory,
                          IResourceManager** out);

    // Loads the bundle when it is not loaded yet; under the manager's lock.
    void Init();
    // The loaded table, or NULL after a load that found nothing.
    HashTable_void* Table();
    StringX* Find(const char* key);

    ZELK::CriticalSection m_lock;
    // Published once, after the table is complete; read without the lock.
    std::atomic<HashTable_void*> m_table {nullptr};
    ZELK_RES_TEXT m_language;
    ZELK_RES_TEXT m_country;
    ZELK_RES_TEXT m_bundle;
    // The directory the caller gave, never changed by a load. Without one,
    // every load asks the policy's "ResourcePath" first and falls back to the
    // default folder, so a configured folder that appears later is found.
    ZELK_RES_TEXT m_directory;
};

}  // namespace kestrin::resloader

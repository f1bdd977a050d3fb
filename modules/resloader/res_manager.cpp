#include "res_manager.h"

#include <memory>

#include "lang_table.h"
#include "res_locale.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::resloader {

CResourceManager::~CResourceManager()
{
    if (HashTable_void* table = m_table.exchange(nullptr))
        table->Release();
}

HRESULT CResourceManager::New(const wchar_t* bundle, IResourceManager** out)
{
    return Create({LocaleSource::Current, nullptr, 0}, bundle, nullptr, out);
}

HRESULT CResourceManager::New(unsigned langId, const wchar_t* bundle, IResourceManager** out)
{
    return Create({LocaleSource::LangId, nullptr, langId}, bundle, nullptr, out);
}

HRESULT CResourceManager::New(unsigned langId, const wchar_t* bundle, const wchar_t* directory, IResourceManager** out)
{
    return Create({LocaleSource::LangId, nullptr, langId}, bundle, directory, out);
}

HRESULT CResourceManager::New(const char* locale, const wchar_t* bundle, IResourceManager** out)
{
    return Create({LocaleSource::Text, locale, 0}, bundle, nullptr, out);
}

HRESULT CResourceManager::New(const char* locale, const wchar_t* bundle, const wchar_t* directory,
                              IResourceManager** out)
{
    return Create({locale ? LocaleSource::Text : LocaleSource::Current, locale, 0}, bundle, directory, out);
}

HRESULT CResourceManager::Create(const LocaleSource& source, const wchar_t* bundle, const wchar_t* directory,
                                 IResourceManager** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CResourceManager::New");
    if (out == nullptr || bundle == nullptr)
        return trace.result = E_INVALIDARG;
    *out = nullptr;
    CComObject<CResourceManager>* object = nullptr;
    HRESULT hr = CComObject<CResourceManager>::CreateInstance(&object);
    if (FAILED(hr))
        return trace.result = hr;
    object->AddRef();
    ZELK_RES_TEXT* language = std::addressof(object->m_language);
    ZELK_RES_TEXT* country = std::addressof(object->m_country);
    HRESULT found;
    switch (source.kind) {
    case LocaleSource::Current:
        found = GetLocale(language, country);
        break;
    case LocaleSource::Text:
        found = SplitLocale(source.locale, language, country);
        break;
    default:
        found = GetLangID(source.langId, language, country);
        break;
    }
    if (FAILED(found)) {
        object->m_language.Free();
        object->m_country.Free();
    }
    object->m_bundle = bundle;
    if (directory != nullptr)
        object->m_directory = directory;
    if (static_cast<const wchar_t*>(object->m_bundle) == nullptr
        || (directory != nullptr && static_cast<const wchar_t*>(object->m_directory) == nullptr)) {
        object->Release();
        return trace.result = E_OUTOFMEMORY;
    }
    {
        ZELK::CriticalCodeSection lock(&object->m_lock);
        object->Init();
    }
    *out = object;
    return trace.result = S_OK;
}

void CResourceManager::Init()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CResourceManager::Init");
    if (m_table.load(std::memory_order_acquire) != nullptr)
        return;
    ResEntries entries;
    if (static_cast<const wchar_t*>(m_directory) != nullptr) {
        LoadResourcesEx(m_language, m_country, m_bundle, m_directory, nullptr, entries.GetAddr());
    } else {
        ZELK_IPolicy* policy = nullptr;
        StringT<char> configured;
        if (SUCCEEDED(ZELK_PolOpen(POL::COMMON::REG_PATH, &policy)) && policy != nullptr) {
            policy->GetString("ResourcePath", &configured);
            ZELK_PolClose(&policy);
        }
        if (!configured.IsEmpty()) {
            ZELK_RES_TEXT path;
            String_Copy(static_cast<const char*>(configured), &path);
            if (static_cast<const wchar_t*>(path) != nullptr
                && SUCCEEDED(LoadResourcesEx(m_language, m_country, m_bundle, path, nullptr, entries.GetAddr()))) {
                SECTRACE_FormatLn(nullptr, 4, "Resource loaded from configured directory %s",
                                  static_cast<const char*>(configured));
            }
        }
        if (!entries) {
            ZELK_RES_TEXT path;
            GetCurrentPath(std::addressof(path));
            if (SUCCEEDED(LoadResourcesEx(m_language, m_country, m_bundle, path, nullptr, entries.GetAddr()))) {
                SECTRACE_FormatLnW(nullptr, 4, L"Resource loaded from default directory %s",
                                   static_cast<const wchar_t*>(path));
            }
        }
    }
    m_table.store(entries.Detach(), std::memory_order_release);
}

HashTable_void* CResourceManager::Table()
{
    HashTable_void* table = m_table.load(std::memory_order_acquire);
    if (table != nullptr)
        return table;
    ZELK::CriticalCodeSection lock(&m_lock);
    Init();
    return m_table.load(std::memory_order_acquire);
}

StringX* CResourceManager::Find(const char* key)
{
    HashTable_void* table = m_table.load(std::memory_order_acquire);
    void* value = nullptr;
    if (key == nullptr || table->Get(const_cast<char*>(key), &value) != S_OK)
        return nullptr;
    return static_cast<StringX*>(value);
}

const wchar_t* CResourceManager::GetW(const char* key)
{
    if (Table() == nullptr)
        return ZELK_RESLOADER_NO_RESOURCES_W;
    StringX* entry = Find(key);
    return entry ? StringX_Wide(entry) : nullptr;
}

const char* CResourceManager::Get(const char* key)
{
    if (Table() == nullptr)
        return ZELK_RESLOADER_NO_RESOURCES;
    StringX* entry = Find(key);
    return entry ? entry->text : nullptr;
}

}  // namespace kestrin::resloader

#include "zelk_class.h"

#include <cstring>

#include "zelk_alloc.h"
#include "zelk_module.h"

CZELK_CLASS* CZELK_CLASS::s_first = nullptr;
std::atomic<ZELK_MASTER_FN> CZELK_CLASS::s_pMasterAPI {nullptr};
constinit ClassFactories ClassFactories::s_This;

namespace {

constinit ZELK::CriticalSection s_cacheLock;

// Set while this deliverable's master call runs on this thread. Two modules
// that became each other's master would otherwise hand a creation back and
// forth for ever; on re-entry the master is skipped and the creation falls
// back to the registry and the factory path, which end.
thread_local bool t_inMasterCall = false;

class MasterCallGuard {
public:
    MasterCallGuard() { t_inMasterCall = true; }
    ~MasterCallGuard() { t_inMasterCall = false; }
    MasterCallGuard(const MasterCallGuard&) = delete;
    MasterCallGuard& operator=(const MasterCallGuard&) = delete;
};

HRESULT CreateFromRegistry(const char* className, const GUID& iid, void** out)
{
    return CZELK_CLASS::CreateObject(className, iid, out);
}

CLASSFACTORY_FUNCTIONS CLASSFACTORY_TABLE = {
    {&CLASSFACTORY_get_info},
    &CreateFromRegistry,
    &CZELK_CLASS::RegisterMaster,
};

CZELK_API implCLASSFACTORY("", "ClassFactory.1", &CLASSFACTORY_TABLE);

bool IsForeign(const char* module)
{
    const char* own = ZELK_GetModuleName();
    return own == nullptr || module == nullptr || std::strcmp(own, module) != 0;
}

}  // namespace

HRESULT CLASSFACTORY_get_info(const char** api, const char** module, const char** description)
{
    if (api)
        *api = "ClassFactory.1";
    if (module)
        *module = ZELK_GetModuleName();
    if (description)
        *description = "";
    return S_OK;
}

HRESULT ZELK_CreateObject(const char* module, const char* className, const GUID& iid, void** out)
{
    if (ZELK_GetModuleName() == nullptr || (module != nullptr && IsForeign(module))) {
        HRESULT hr = CZELK_CLASS::CreateObject(module, className, iid, out);
        if (SUCCEEDED(hr))
            return hr;
    }
    return ClassFactories::CreateObject(module, className, iid, out);
}

// ---- CZELK_CLASS -------------------------------------------------------------

CZELK_CLASS::CZELK_CLASS(const char* module, const char* className, ZELK_CREATOR_FN creator)
    : m_module(module), m_className(className), m_next(s_first)
{
    m_creator.named = creator;
    s_first = this;
}

CZELK_CLASS::CZELK_CLASS(const char* module, ZELK_WILDCARD_CREATOR_FN creator)
    : m_module(module), m_className(nullptr), m_next(s_first)
{
    m_creator.wildcard = creator;
    s_first = this;
}

HRESULT CZELK_CLASS::CreateObject(const char* module, const char* className, const GUID& iid, void** out)
{
    if (module != nullptr && !t_inMasterCall) {
        ZELK_MASTER_FN master = s_pMasterAPI.load(std::memory_order_acquire);
        if (master != nullptr) {
            if (out)
                *out = nullptr;
            MasterCallGuard guard;
            return master(module, className, iid, out);
        }
    }
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (className == nullptr)
        return E_INVALIDARG;
    for (CZELK_CLASS* entry = s_first; entry; entry = entry->m_next) {
        if (module != nullptr && (entry->m_module == nullptr || std::strcmp(entry->m_module, module) != 0))
            continue;
        if (entry->m_className == nullptr) {
            if (entry->m_creator.wildcard == nullptr)
                continue;
            HRESULT hr = entry->m_creator.wildcard(className, iid, out);
            if (hr == S_OK || hr == E_NOINTERFACE)
                return hr;
            continue;
        }
        if (std::strcmp(entry->m_className, className) == 0)
            return entry->m_creator.named ? entry->m_creator.named(iid, out) : E_FAIL;
    }
    return E_FAIL;
}

HRESULT CZELK_CLASS::CreateObject(const char* className, const GUID& iid, void** out)
{
    return CreateObject(nullptr, className, iid, out);
}

HRESULT CZELK_CLASS::RegisterMaster(ZELK_MASTER_FN master)
{
    s_pMasterAPI.store(master, std::memory_order_release);
    return S_OK;
}

// ---- ClassFactories ----------------------------------------------------------

HRESULT ClassFactories::CreateObject(const char* module, const char* className, const GUID& iid, void** out)
{
    if (module == nullptr || className == nullptr)
        return E_INVALIDARG;
    bool foreign = IsForeign(module);
    CLASSFACTORY_FUNCTIONS* table = nullptr;
    HRESULT hr = s_This.GetFactory(module, foreign ? 1 : 0, &table);
    if (FAILED(hr))
        return hr;
    hr = table->CreateObject(className, iid, out);
    if (!foreign) {
        API_COMMON* bound = table;
        ZELK_ReleaseAPI(&bound);
    }
    return hr;
}

HRESULT ClassFactories::GetFactory(const char* module, signed char foreign, CLASSFACTORY_FUNCTIONS** table)
{
    *table = nullptr;
    ZELK::CriticalCodeSection lock(&s_cacheLock);
    for (uint64_t i = 0; i < m_count; ++i) {
        if (std::strcmp(m_names[i], module) == 0) {
            *table = m_tables[i];
            return S_OK;
        }
    }

    API_COMMON* bound = nullptr;
    ZELK_GetAPI(module, "ClassFactory.1", &bound);
    if (bound == nullptr)
        return E_FAIL;
    auto* factory = ZELK_ApiCast<CLASSFACTORY_FUNCTIONS>(bound);
    if (!foreign) {
        *table = factory;
        return S_OK;
    }

    // Room for one more entry first, so that a failure leaves the cache as it was.
    size_t length = std::strlen(module);
    auto* name = static_cast<char*>(sec_malloc(length + 1));
    auto* names = name ? static_cast<char**>(sec_realloc(m_names, (m_count + 1) * sizeof(char*))) : nullptr;
    if (names)
        m_names = names;
    auto* tables = names ? static_cast<CLASSFACTORY_FUNCTIONS**>(
                       sec_realloc(m_tables, (m_count + 1) * sizeof(CLASSFACTORY_FUNCTIONS*)))
                         : nullptr;
    if (tables)
        m_tables = tables;
    HRESULT hr = tables ? S_OK : E_OUTOFMEMORY;
    // The cache is a static member of the registry, registered once for the
    // life of the deliverable; its stop empties it and a later start reuses it.
    if (SUCCEEDED(hr) && !m_registered) {
        hr = ZELK_RegisterSingleton(this, 0);
        m_registered = SUCCEEDED(hr);
    }
    if (FAILED(hr)) {
        sec_free(name);
        ZELK_ReleaseAPI(&bound);
        return hr;
    }

    std::memcpy(name, module, length + 1);
    factory->register_master(&ZELK_CreateObject);
    m_names[m_count] = name;
    m_tables[m_count] = factory;
    ++m_count;
    *table = factory;
    return S_OK;
}

HRESULT ClassFactories::Finalize()
{
    ZELK::CriticalCodeSection lock(&s_cacheLock);
    while (m_count > 0) {
        --m_count;
        sec_free(m_names[m_count]);
        m_names[m_count] = nullptr;
        API_COMMON* bound = m_tables[m_count];
        ZELK_ReleaseAPI(&bound);
        m_tables[m_count] = nullptr;
    }
    sec_free(m_names);
    sec_free(m_tables);
    m_names = nullptr;
    m_tables = nullptr;
    return S_OK;
}

uint64_t ClassFactories::Count()
{
    ZELK::CriticalCodeSection lock(&s_cacheLock);
    return m_count;
}

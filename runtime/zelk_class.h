// The class registry: objects are created by module name, class name and
// interface identifier, from this deliverable's own registry, through its
// creation master, or through another module's class factory
// ("ClassFactory.1").
#pragma once

#include <atomic>
#include <cstdint>

#include "qevcrypto.h"
#include "zelk_singletons.h"
#include "zelk_sync.h"
#include "zelk_unknown.h"

// Creator of a named class: the creator of CFactoryImpl or CSingletonFactoryImpl.
typedef HRESULT (*ZELK_CREATOR_FN)(const GUID& iid, void** out);
// Creator of a wildcard entry: decides itself which class names it serves.
typedef HRESULT (*ZELK_WILDCARD_CREATOR_FN)(const char* className, const GUID& iid, void** out);
// A creation master: another deliverable's ZELK_CreateObject.
typedef HRESULT (*ZELK_MASTER_FN)(const char* module, const char* className, const GUID& iid, void** out);

// The one way to create an object by name. A foreign module (or any module
// while this deliverable has no name) is tried through the own registry or the
// master first; a negative answer falls back to that module's class factory.
HRESULT ZELK_CreateObject(const char* module, const char* className, const GUID& iid, void** out);

// "ClassFactory.1": slot 1 creates from the module's registry (every entry is
// a candidate, the master is never consulted); slot 2 makes the caller the
// module's creation master, replacing any earlier one.
struct CLASSFACTORY_FUNCTIONS : API_COMMON {
    HRESULT (*create_object)(const char* className, const GUID& iid, void** out);
    HRESULT (*register_master)(ZELK_MASTER_FN master);

    HRESULT CreateObject(const char* className, const GUID& iid, void** out) const
    {
        return create_object(className, iid, out);
    }
};

HRESULT CLASSFACTORY_get_info(const char** api, const char** module, const char** description);

// Static registration of one class (or a wildcard entry when the class name
// is NULL). Registrations run newest first and never leave the list.
class CZELK_CLASS {
public:
    CZELK_CLASS(const char* module, const char* className, ZELK_CREATOR_FN creator);
    CZELK_CLASS(const char* module, ZELK_WILDCARD_CREATOR_FN creator);
    CZELK_CLASS(const CZELK_CLASS&) = delete;
    CZELK_CLASS& operator=(const CZELK_CLASS&) = delete;

    // With a module and a master: the master's answer. Otherwise the registry
    // walk, filtered by module when one is given. 0x80040003 without `out`,
    // 0x80000003 without a class name, 0x80004005 when no entry answers.
    static HRESULT CreateObject(const char* module, const char* className, const GUID& iid, void** out);
    static HRESULT CreateObject(const char* className, const GUID& iid, void** out);
    static HRESULT RegisterMaster(ZELK_MASTER_FN master);

    const char* m_module;
    const char* m_className;
    union {
        ZELK_CREATOR_FN named;
        ZELK_WILDCARD_CREATOR_FN wildcard;
    } m_creator;
    CZELK_CLASS* m_next;

    static CZELK_CLASS* s_first;
    static std::atomic<ZELK_MASTER_FN> s_pMasterAPI;
};

// The cache of other modules' class factories, bound on first use by name and
// released at this deliverable's stop.
class ClassFactories : public ISingleton {
public:
    constexpr ClassFactories() = default;
    ~ClassFactories() override = default;
    ClassFactories(const ClassFactories&) = delete;
    ClassFactories& operator=(const ClassFactories&) = delete;

    HRESULT Initialize() override { return S_OK; }
    HRESULT Finalize() override;

    // The module's "ClassFactory.1" in *table. A foreign module's table is
    // cached and this deliverable becomes that module's master; the own
    // module's table is handed out uncached (the caller releases it).
    // 0x80004005 when the module offers no factory, 0x8007000E when it cannot
    // be cached.
    HRESULT GetFactory(const char* module, signed char foreign, CLASSFACTORY_FUNCTIONS** table);

    static HRESULT CreateObject(const char* module, const char* className, const GUID& iid, void** out);

    // Number of cached modules.
    uint64_t Count();

    uint64_t m_count = 0;
    char** m_names = nullptr;
    CLASSFACTORY_FUNCTIONS** m_tables = nullptr;
    bool m_registered = false;

    static ClassFactories s_This;
};

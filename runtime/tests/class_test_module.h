// The table "zelktestcls.1" of the class-registry test modules zelktestclsa and
// zelktestclsb, the interface their classes offer and (with
// ZELKTESTCLS_MODULE_IMPL defined) the implementation, so that both modules
// carry the same code in their own copies of the runtime.
#pragma once

#include <cstdint>

#include "qevcrypto.h"
#include "zelk_class.h"
#include "zelk_unknown.h"

class ITestThing : public IUnknown {
public:
    // The module whose class made the object.
    virtual const char* Home() = 0;
};

ZELK_DEFINE_GUID(IID_ITestThing, 0x5EC7C1A5, 0x0001, 0x0002, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80);

struct ZELKTESTCLS_TABLE : API_COMMON {
    // This module's ZELK_CreateObject.
    HRESULT (*create)(const char* module, const char* className, const GUID& iid, void** out);
    ZELK_MASTER_FN (*master)();
    uint64_t (*cached_factories)();
    HRESULT (*finalize)();
};

#ifdef ZELKTESTCLS_MODULE_IMPL

#include "zelk_module.h"
#include "zelk_object.h"

namespace {

class CThing : public ITestThing, public CComObjectRoot {
public:
    const char* Home() override { return ZELKTESTCLS_NAME; }

    ZELK_BEGIN_INTMAP(CThing)
    ZELK_INTMAP_ENTRY(ITestThing)
    ZELK_END_INTMAP()
};

class CSingle : public ITestThing, public CSingletonFactoryImpl<CSingle>, public CComObjectRoot {
public:
    const char* Home() override { return ZELKTESTCLS_NAME; }

    ZELK_BEGIN_INTMAP(CSingle)
    ZELK_INTMAP_ENTRY(ITestThing)
    ZELK_END_INTMAP()
};

CZELK_CLASS s_thing(ZELKTESTCLS_NAME, ZELKTESTCLS_NAME ".thing", &CFactoryImpl<CThing>::New);
CZELK_CLASS s_single(ZELKTESTCLS_NAME, ZELKTESTCLS_NAME ".single", &CSingletonFactoryImpl<CSingle>::New);

HRESULT get_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "zelktestcls.1";
    if (module)
        *module = ZELKTESTCLS_NAME;
    if (description)
        *description = "class registry test module";
    return S_OK;
}

ZELK_MASTER_FN master()
{
    return CZELK_CLASS::s_pMasterAPI.load();
}

uint64_t cached_factories()
{
    return ClassFactories::s_This.Count();
}

ZELKTESTCLS_TABLE s_table = {{&get_info}, &ZELK_CreateObject, &master, &cached_factories, &ZELK_Finalize};
CZELK_API s_api(ZELKTESTCLS_NAME, "zelktestcls.1", &s_table);

}  // namespace

#endif

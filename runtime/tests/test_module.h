// The table "zelktest.1" that the test modules zelktesta and zelktestb offer,
// and (with ZELKTEST_MODULE_IMPL defined) its implementation, so that both
// modules carry the same code in their own copies of the runtime.
#pragma once

#include "qevcrypto.h"

struct ZELKTEST_TABLE : API_COMMON {
    const char* (*module_name)();
    const char* (*own_file_name)();
    SEC_FUNCTION_LIST* (*function_list)();
    HRESULT (*module_init_again)(SEC_FUNCTION_LIST* other);
    HRESULT (*initialize)();
    HRESULT (*finalize)();
    int (*probe_initialize_calls)();
    int (*probe_finalize_calls)();
    API_COMMON* (*bound)();     // what the module's own binder holds
    MODULE_GET_API_FN get_api;  // the getter module_init hands out
};

#ifdef ZELKTEST_MODULE_IMPL

#include "zelk_loader.h"
#include "zelk_module.h"

namespace {

// A static member of this module's singleton registry.
class Probe : public ISingleton {
public:
    Probe() { ZELK_RegisterSingleton(this, 0); }
    HRESULT Initialize() override
    {
        ++initializeCalls;
        return S_OK;
    }
    HRESULT Finalize() override
    {
        ++finalizeCalls;
        return S_OK;
    }
    int initializeCalls = 0;
    int finalizeCalls = 0;
};
Probe s_probe;

API_COMMON* s_bound = nullptr;
CLoadAPI s_binder(ZELKTEST_BIND_MODULE, ZELKTEST_BIND_TABLE, &s_bound);

HRESULT get_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "zelktest.1";
    if (module)
        *module = ZELKTEST_NAME;
    if (description)
        *description = "runtime test module";
    return S_OK;
}

const char* module_name()
{
    return ZELK_GetModuleName();
}

const char* own_file_name()
{
    return ZELK_FindOwnModuleName();
}

SEC_FUNCTION_LIST* function_list()
{
    return sdk_f_list;
}

HRESULT module_init_again(SEC_FUNCTION_LIST* other)
{
    return module_init(other, nullptr, nullptr, nullptr);
}

int probe_initialize_calls()
{
    return s_probe.initializeCalls;
}

int probe_finalize_calls()
{
    return s_probe.finalizeCalls;
}

API_COMMON* bound()
{
    return s_bound;
}

ZELKTEST_TABLE s_table = {{&get_info},           &module_name,     &own_file_name,      &function_list,
                          &module_init_again,    &ZELK_Initialize, &ZELK_Finalize,      &probe_initialize_calls,
                          &probe_finalize_calls, &bound,           &impl_module_get_API};
CZELK_API s_api(ZELKTEST_NAME, "zelktest.1", &s_table);

}  // namespace

#endif

// The table every raw test module offers ("raw.1"): how often its module_init
// ran and what its own lookups during module_init answered.
//
// With RAW_MODULE_NAME defined, the module's implementation follows; the
// including file first defines `HRESULT raw_start(SEC_FUNCTION_LIST* list,
// HRESULT* nested)`, which module_init calls last and whose result it returns.
#pragma once

#include "qevcrypto.h"

struct RAW_TABLE : API_COMMON {
    int (*init_count)();
    HRESULT (*nested_result)();
    SEC_FUNCTION_LIST* (*list)();
};

#ifdef RAW_MODULE_NAME

#include <cstring>

namespace {

int s_initCount = 0;
HRESULT s_nested = S_OK;
SEC_FUNCTION_LIST* s_list = nullptr;

HRESULT get_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "raw.1";
    if (module)
        *module = RAW_MODULE_NAME;
    if (description)
        *description = "raw test module";
    return S_OK;
}

int init_count()
{
    return s_initCount;
}

HRESULT nested_result()
{
    return s_nested;
}

SEC_FUNCTION_LIST* list()
{
    return s_list;
}

RAW_TABLE s_table = {{&get_info}, &init_count, &nested_result, &list};

HRESULT get_api(const char*, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = nullptr;
    if (std::strcmp(api, "raw.1") != 0)
        return ZELK_E_API_NOTFOUND;
    *out = &s_table;
    return S_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT module_init(SEC_FUNCTION_LIST* flist,
                                                                      MODULE_GET_API_FN* getter, void*, void*)
{
    ++s_initCount;
    s_list = flist;
    if (getter)
        *getter = &get_api;
    return raw_start(flist, &s_nested);
}

#endif

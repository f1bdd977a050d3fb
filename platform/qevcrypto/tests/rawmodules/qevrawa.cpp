// Raw test module "qevrawa": binds qevrawb from its module_init.
#include <cstring>

#include "raw_module.h"

namespace {

int s_initCount = 0;
HRESULT s_nested = S_OK;
SEC_FUNCTION_LIST* s_list = nullptr;

HRESULT get_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "raw.1";
    if (module)
        *module = "qevrawa";
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

RAW_EXPORT HRESULT module_init(SEC_FUNCTION_LIST* flist, MODULE_GET_API_FN* getter, void*, void*)
{
    ++s_initCount;
    s_list = flist;
    if (getter)
        *getter = &get_api;
    // Binds a further module while the outer lookup of this one still runs.
    API_COMMON* other = nullptr;
    s_nested = flist->get_api("qevrawb", "raw.1", &other);
    return S_OK;
}

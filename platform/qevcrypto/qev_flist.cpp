#include "qev_flist.h"

#include <cstdlib>
#include <mutex>

#include "keychain_store.h"
#include "qev_modules.h"
#include "qev_tables.h"
#include "qev_trace.h"

namespace {

std::mutex s_usersLock;
int s_users = 0;

HRESULT flist_release(SEC_FUNCTION_LIST* list);

HRESULT flist_get_api(const char* module, const char* api, API_COMMON** var)
{
    if (api == nullptr || var == nullptr)
        return ZELK_E_API_NOARG;
    *var = nullptr;
    if (module == nullptr) {
        API_COMMON* table = qev_find_table(api);
        if (table == nullptr)
            return ZELK_E_API_NOTFOUND;
        *var = table;
        return S_OK;
    }
    return qev_module_get_api(module, api, var);
}

// Tables live as long as the library; a release only has to accept the variable.
HRESULT flist_release_api(API_COMMON** var)
{
    return var ? S_OK : ZELK_E_API_NOARG;
}

// The C library's own allocator, so that buffers from libxml2 and the like can
// be freed either way.
void* flist_malloc(size_t size)
{
    return std::malloc(size);
}

void* flist_calloc(size_t count, size_t size)
{
    return std::calloc(count, size);
}

void* flist_realloc(void* pointer, size_t size)
{
    return std::realloc(pointer, size);
}

void flist_free(void* pointer)
{
    std::free(pointer);
}

SEC_FUNCTION_LIST s_list = {
    &flist_release, nullptr,       &flist_get_api, &flist_release_api, nullptr,
    nullptr,        &flist_malloc, &flist_calloc,  &flist_realloc,     &flist_free,
};

// The last user's release unloads the modules, so that a later start loads
// them afresh with the list they are given then.
HRESULT flist_release(SEC_FUNCTION_LIST* list)
{
    if (list != &s_list)
        return ZELK_E_API_NOARG;
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(s_usersLock);
        if (s_users > 0 && --s_users == 0)
            last = true;
    }
    if (last) {
        kestrin::qevcrypto::keychain::CloseProcessStore();
        qev_unload_modules();
    }
    return S_OK;
}

}  // namespace

SEC_FUNCTION_LIST* qev_function_list()
{
    return &s_list;
}

extern "C" QEV_EXPORT HRESULT cryptolib_get_f_list(unsigned int, void*, SEC_FUNCTION_LIST** list, void*, const char*,
                                                   unsigned int)
{
    if (list == nullptr)
        return ZELK_E_API_NOARG;
    {
        std::lock_guard<std::mutex> lock(s_usersLock);
        if (s_users++ == 0)
            qev_trace_configure();
    }
    *list = &s_list;
    return S_OK;
}

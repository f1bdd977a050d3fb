#include "qev_modules.h"

#include <dlfcn.h>

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qev_flist.h"
#include "qev_trace.h"

namespace {

struct LoadedModule {
    std::string name;
    void* handle = nullptr;
    MODULE_GET_API_FN getter = nullptr;
    HRESULT initResult = S_OK;
    unsigned holds = 0;  // security contexts that use the module's objects
};

// Held while a module is loaded and started. Recursive because a module's
// module_init binds further modules on the same thread while the outer
// lookup is still running.
std::recursive_mutex s_loadLock;
std::vector<std::unique_ptr<LoadedModule>> s_modules;  // load order

constexpr size_t kMaxModuleName = 128;

bool valid_module_name(const char* name)
{
    size_t n = strnlen(name, kMaxModuleName + 1);
    if (n == 0 || n > kMaxModuleName)
        return false;
    return std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

LoadedModule* find_module(const char* name)
{
    for (auto& m : s_modules)
        if (m->name == name)
            return m.get();
    return nullptr;
}

// A module that cannot be loaded is an error line: the loader's own reason
// (a missing file, an unresolved symbol) is otherwise lost.
void trace_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    qev_trace_write(1, "qevcrypto", format, args);
    va_end(args);
}

// Returns the module, loaded and started, or NULL with *result set.
LoadedModule* load_module(const char* name, HRESULT* result)
{
    std::string path = std::string(qev_own_dir()) + "/lib" + name + ".so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        trace_error("module %s cannot be loaded: %s", name, reason ? reason : "unknown reason");
        *result = ZELK_E_API_NOTFOUND;
        return nullptr;
    }
    auto init = reinterpret_cast<MODULE_INIT_FN>(dlsym(handle, "module_init"));
    if (init == nullptr) {
        trace_error("module %s has no module_init", name);
        dlclose(handle);
        *result = ZELK_E_API_NOTFOUND;
        return nullptr;
    }
    auto module = std::make_unique<LoadedModule>();
    module->name = name;
    module->handle = handle;
    LoadedModule* m = module.get();
    // Marked loaded before its start: lookups of this module from inside its
    // own module_init (directly or through another module) find it here, and
    // the getter is already written through the address passed below.
    s_modules.push_back(std::move(module));
    m->initResult = init(qev_function_list(), &m->getter, nullptr, nullptr);
    *result = m->initResult;
    return m;
}

}  // namespace

HRESULT qev_module_get_api(const char* module, const char* api, API_COMMON** var)
{
    if (!valid_module_name(module))
        return ZELK_E_API_NOTFOUND;
    MODULE_GET_API_FN getter = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(s_loadLock);
        LoadedModule* m = find_module(module);
        if (m == nullptr) {
            HRESULT hr = S_OK;
            m = load_module(module, &hr);
            if (m == nullptr || FAILED(hr))
                return hr;
        } else if (FAILED(m->initResult)) {
            return m->initResult;
        }
        getter = m->getter;
    }
    if (getter == nullptr)
        return ZELK_E_API_NOTFOUND;
    return getter(module, api, var);
}

void qev_unload_modules()
{
    std::lock_guard<std::recursive_mutex> lock(s_loadLock);
    for (size_t i = s_modules.size(); i-- > 0;) {
        if (s_modules[i]->holds > 0)
            continue;
        dlclose(s_modules[i]->handle);
        s_modules.erase(s_modules.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void qev_module_hold(const char* module)
{
    std::lock_guard<std::recursive_mutex> lock(s_loadLock);
    if (LoadedModule* m = module ? find_module(module) : nullptr)
        ++m->holds;
}

void qev_module_drop(const char* module)
{
    std::lock_guard<std::recursive_mutex> lock(s_loadLock);
    LoadedModule* m = module ? find_module(module) : nullptr;
    if (m != nullptr && m->holds > 0)
        --m->holds;
}

const char* qev_own_dir()
{
    static const std::string dir = [] {
        Dl_info info {};
        if (dladdr(reinterpret_cast<void*>(&qev_own_dir), &info) == 0 || info.dli_fname == nullptr)
            return std::string();
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved) == nullptr)
            return std::string();
        std::string path(resolved);
        size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }();
    return dir.c_str();
}

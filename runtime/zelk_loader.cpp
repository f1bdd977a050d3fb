#include "zelk_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

char* s_szInstallationRoot = nullptr;

char s_szOwnModulePath[ZELK_MAX_PATH];
char s_szOwnModuleDir[ZELK_MAX_PATH];
char s_szOwnModuleName[ZELK_MAX_PATH];
std::once_flag s_ownPathOnce;

void copy_cut(char* dest, size_t size, const char* src)
{
    if (size == 0)
        return;
    size_t n = strnlen(src, size - 1);
    std::memmove(dest, src, n);
    dest[n] = '\0';
}

bool ends_with_slash(const std::string& s)
{
    return !s.empty() && s.back() == '/';
}

// The image that holds this function: the main program is read from
// /proc/self/exe, since the loader may report it by a relative name.
void find_own_paths()
{
    Dl_info info {};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&find_own_paths), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0)
        return;
    bool mainProgram = map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0';
    if (mainProgram) {
        char exe[ZELK_MAX_PATH];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            exe[n] = '\0';
            SecLibraryInitNormalizePath(s_szOwnModulePath, sizeof s_szOwnModulePath, exe);
        }
    }
    if (s_szOwnModulePath[0] == '\0' && info.dli_fname && info.dli_fname[0])
        SecLibraryInitNormalizePath(s_szOwnModulePath, sizeof s_szOwnModulePath, info.dli_fname);
    if (s_szOwnModulePath[0] == '\0')
        return;
    copy_cut(s_szOwnModuleDir, sizeof s_szOwnModuleDir, s_szOwnModulePath);
    PathRemoveFileSpecA(s_szOwnModuleDir);
    copy_cut(s_szOwnModuleName, sizeof s_szOwnModuleName, PathFindFileNameA(s_szOwnModulePath));
}

void* open_path(const std::string& path, char* out, size_t size)
{
    if (path.size() >= ZELK_MAX_PATH)
        return nullptr;
    char canonical[ZELK_MAX_PATH];
    SecPathCanonicalize(canonical, path.c_str());
    void* handle = dlopen(canonical, RTLD_LAZY | RTLD_LOCAL);
    if (handle && out && size) {
        if (std::strlen(canonical) < size)
            std::strcpy(out, canonical);
        else
            out[0] = '\0';
    }
    return handle;
}

}  // namespace

HRESULT ZELK_SetInstallationRoot(const char* root)
{
    std::free(s_szInstallationRoot);
    s_szInstallationRoot = nullptr;
    if (root == nullptr)
        return S_OK;
    s_szInstallationRoot = strdup(root);
    return s_szInstallationRoot ? S_OK : E_OUTOFMEMORY;
}

const char* ZELK_GetInstallationRoot()
{
    return s_szInstallationRoot;
}

void ZELK_FreeInstallationRoot()
{
    std::free(s_szInstallationRoot);
    s_szInstallationRoot = nullptr;
}

HRESULT ZELK_LoadLibrary(const char* name, void** handle)
{
    if (handle == nullptr)
        return E_POINTER;
    *handle = nullptr;
    if (s_szInstallationRoot == nullptr) {
        const char* own = ZELK_FindOwnModuleDir();
        if (own && *own) {
            HRESULT hr = ZELK_SetInstallationRoot(own);
            if (FAILED(hr))
                return hr;
        }
    }
    *handle = SecLoadLibrary(name, s_szInstallationRoot, 3, nullptr, 0);
    return *handle ? S_OK : E_FAIL;
}

HRESULT ZELK_FreeLibrary(void** handle)
{
    return SecFreeLibrary(handle);
}

void* ZELK_GetProcAddress(void* handle, const char* symbol)
{
    return SecGetProcAddress(handle, symbol);
}

void* SecLoadLibrary(const char* name, const char* root, int flags, char* path, size_t size)
{
    if (path && size)
        path[0] = '\0';
    if (name == nullptr || name[0] == '\0')
        return nullptr;
    if (std::strchr(name, '/'))
        return open_path(name, path, size);

    std::string file = std::strchr(name, '.') ? std::string(name) : "lib" + std::string(name) + ".so";
    if (root && root[0] && std::strlen(root) < ZELK_MAX_PATH) {
        char base[ZELK_MAX_PATH];
        SecPathCanonicalize(base, root);
        std::string dir(base);
        while (dir.size() > 1 && ends_with_slash(dir))
            dir.pop_back();
        if (void* h = open_path(dir + (ends_with_slash(dir) ? "" : "/") + file, path, size))
            return h;
        char parent[ZELK_MAX_PATH];
        copy_cut(parent, sizeof parent, dir.c_str());
        PathRemoveFileSpecA(parent);
        if (void* h = open_path(std::string(parent) + "/lib/" + file, path, size))
            return h;
    }
    if (flags == 0) {
        void* h = dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (h && path && size)
            copy_cut(path, size, file.size() < size ? file.c_str() : "");
        return h;
    }
    return nullptr;
}

// Without a handle there is no library to unload: that is a failed unload
// too, and dlclose is never handed NULL.
HRESULT SecFreeLibrary(void** handle)
{
    if (handle == nullptr || *handle == nullptr)
        return ZELK_E_UNLOAD;
    if (dlclose(*handle) != 0)
        return ZELK_E_UNLOAD;
    *handle = nullptr;
    return S_OK;
}

void* SecGetProcAddress(void* handle, const char* symbol)
{
    if (handle == nullptr || symbol == nullptr)
        return nullptr;
    return dlsym(handle, symbol);
}

const char* ZELK_FindOwnModulePath()
{
    std::call_once(s_ownPathOnce, find_own_paths);
    return s_szOwnModulePath[0] ? s_szOwnModulePath : nullptr;
}

const char* ZELK_FindOwnModuleDir()
{
    std::call_once(s_ownPathOnce, find_own_paths);
    return s_szOwnModulePath[0] ? s_szOwnModuleDir : nullptr;
}

const char* ZELK_FindOwnModuleName()
{
    std::call_once(s_ownPathOnce, find_own_paths);
    return s_szOwnModulePath[0] ? s_szOwnModuleName : nullptr;
}

void SecLibraryInitNormalizePath(char* buffer, size_t size, const char* name)
{
    if (buffer == nullptr || size == 0)
        return;
    buffer[0] = '\0';
    if (name == nullptr)
        return;
    std::string result(name);
    if (name[0] != '/' && std::strchr(name, '/') == nullptr) {
        const char* dot = std::strrchr(name, '.');
        const char* list = std::getenv(dot && std::strcmp(dot, ".so") == 0 ? "LD_LIBRARY_PATH" : "PATH");
        std::string elements = list ? list : "";
        size_t start = 0;
        while (start <= elements.size()) {
            size_t end = elements.find(':', start);
            if (end == std::string::npos)
                end = elements.size();
            std::string element = elements.substr(start, end - start);
            if (!element.empty()) {
                std::string candidate = element + "/" + name;
                if (access(candidate.c_str(), F_OK) == 0) {
                    result = candidate;
                    break;
                }
            }
            start = end + 1;
        }
    }
    if (result.empty() || result[0] != '/') {
        char cwd[ZELK_MAX_PATH];
        if (getcwd(cwd, sizeof cwd))
            result = std::string(cwd) + "/" + result;
    }
    char canonical[ZELK_MAX_PATH];
    copy_cut(canonical, sizeof canonical, result.c_str());
    SecPathCanonicalize(canonical, canonical);
    copy_cut(buffer, size, canonical);
}

int PathAppendA(char* path, const char* more)
{
    PathCchAppendA(path, ZELK_MAX_PATH, more);
    return 1;
}

int PathCchAppendA(char* path, size_t size, const char* more)
{
    if (path == nullptr || size == 0 || more == nullptr || more[0] == '\0')
        return 0;
    size_t len = strnlen(path, size - 1);
    path[len] = '\0';
    if (len > 0 && path[len - 1] != '/' && len + 1 < size) {
        path[len++] = '/';
        path[len] = '\0';
    }
    copy_cut(path + len, size - len, more);
    SecPathCanonicalize(path, path);
    return 0;
}

void PathRemoveFileSpecA(char* path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    char* slash = std::strrchr(path, '/');
    if (slash)
        *slash = '\0';
    else
        std::strcpy(path, ".");
}

char* PathFindFileNameA(char* path)
{
    if (path == nullptr)
        return nullptr;
    char* slash = std::strrchr(path, '/');
    return slash && slash[1] ? slash + 1 : path;
}

// Removes doubled "/", "." components and ".." components together with the
// component before them. A relative path keeps leading ".." components; ".."
// at the root stays at the root; a trailing "/" stays.
int SecPathCanonicalize(char* dest, const char* src)
{
    if (dest == nullptr || src == nullptr)
        return 1;
    char input[ZELK_MAX_PATH];
    copy_cut(input, sizeof input, src);
    size_t len = std::strlen(input);
    bool absolute = len > 0 && input[0] == '/';
    bool trailing = len > 1 && input[len - 1] == '/';

    std::vector<std::string> parts;
    for (size_t start = 0, end = 0; start <= len; start = end + 1) {
        end = start;
        while (end < len && input[end] != '/')
            ++end;
        std::string part(input + start, end - start);
        if (part.empty() || part == ".")
            continue;
        if (part != "..")
            parts.push_back(part);
        else if (!parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!absolute)
            parts.push_back(part);
    }

    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += '/';
        out += parts[i];
    }
    if (out.empty())
        out = len == 0 ? "" : ".";
    else if (trailing && !ends_with_slash(out))
        out += '/';
    copy_cut(dest, ZELK_MAX_PATH, out.c_str());
    return 1;
}

#include "pse_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "qev_config.h"

namespace kestrin::qevcrypto {
namespace {

// Relative values of the variables are to be ignored.
HRESULT DataHome(std::string* out)
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        *out = dataHome;
        return S_OK;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        *out = std::string(home) + "/.local/share";
        return S_OK;
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) != 0 || found == nullptr || found->pw_dir == nullptr
        || found->pw_dir[0] != '/') {
        return E_FAIL;
    }
    *out = std::string(found->pw_dir) + "/.local/share";
    return S_OK;
}

// Creates each missing folder of the path; the last one 0700.
HRESULT MakeFolders(const std::string& dir)
{
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return errno == EACCES ? E_ACCESSDENIED : E_FAIL;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return E_FAIL;
    return S_OK;
}

}  // namespace

HRESULT PseDir(std::string* out)
{
    if (out == nullptr)
        return E_POINTER;
    try {
        std::string root;
        HRESULT hr = DataHome(&root);
        if (FAILED(hr))
            return hr;
        std::string dir = root + "/kestrin";
        hr = MakeFolders(dir);
        if (FAILED(hr))
            return hr;
        *out = std::move(dir);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT PseFilePath(std::string* out)
{
    if (out == nullptr)
        return E_POINTER;
    std::string dir;
    HRESULT hr = PseDir(&dir);
    if (FAILED(hr))
        return hr;
    try {
        *out = dir + "/" + SEC_PSE_FILE_NAME;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace kestrin::qevcrypto

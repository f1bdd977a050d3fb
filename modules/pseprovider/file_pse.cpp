#include "file_pse.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "qev_io.h"
#include "qev_request.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::ZELKPSE {
namespace {

API_COMMON* s_io = nullptr;
CLoadAPI s_loadIo(nullptr, SEC_IO_API, &s_io);

}  // namespace

HRESULT FILE::New(const char* name, PSE** out)
{
    if (name == nullptr || out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    // Client programs may write data to their standard output: the creation
    // is traced, never printed.
    SECTRACE_FormatLn(nullptr, 4, "FILE::New(%s,...)", name);
    CComObject<FILE>* pse = nullptr;
    HRESULT hr = CComObject<FILE>::CreateInstance(&pse);
    if (FAILED(hr))
        return hr;
    pse->AddRef();
    pse->Init(name);
    *out = pse;
    return S_OK;
}

HRESULT FILE::Init(const char* name)
{
    const char* path = std::strncmp(name, "file:///", 8) == 0 ? name + 8 : name;
    struct stat info {};
    m_trusted.reset();
    // A path that cannot be examined is read as a file, which then adds nothing.
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode))
        ReadDir(path, m_trusted.out());
    else
        ReadFile(path, m_trusted.out());
    return S_OK;
}

HRESULT FILE::ReadFile(const char* path, SET_OF_Certificate** out)
{
    *out = nullptr;
    const auto* io = ZELK_ApiCast<SEC_IO_TABLE>(s_io);
    const auto* certificates = static_cast<const SEC_CERTLIST_TYPE_TABLE*>(TypeTable(SEC_TYPE_SET_OF_Certificate));
    if (io == nullptr || io->file2OctetString == nullptr || certificates == nullptr || certificates->parse == nullptr)
        return E_FAIL;
    Owned<OctetString, SEC_TYPE_OctetString> bytes;
    HRESULT hr = io->file2OctetString(path, bytes.out());
    if (FAILED(hr))
        return hr;
    return certificates->parse(bytes.get(), out);
}

HRESULT FILE::ReadDir(const char* path, SET_OF_Certificate** out)
{
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return S_OK;
    SET_OF_Certificate** cursor = ListTail(out);
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        std::string file = std::string(path) + "/" + entry->d_name;
        // Only the folder's own files: links and subfolders add nothing.
        struct stat info {};
        if (lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (SUCCEEDED(ReadFile(file.c_str(), cursor)))
            cursor = ListTail(cursor);
    }
    closedir(dir);
    return S_OK;
}

}  // namespace ZELK::ZELKPSE

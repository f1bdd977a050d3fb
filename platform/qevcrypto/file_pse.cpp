#include "file_pse.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "pse_dir.h"
#include "qev_results.h"

namespace kestrin::qevcrypto {

HRESULT OpenFilePse(PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    std::string path;
    HRESULT hr = PseFilePath(&path);
    if (FAILED(hr))
        return hr;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? E_PSE_NOPSE : E_FAIL;
    return E_NOTIMPL;
}

}  // namespace kestrin::qevcrypto

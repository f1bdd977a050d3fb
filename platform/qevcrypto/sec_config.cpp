// "SEC_CONFIG_1": library configuration.
#include <cstring>
#include <string>

#include "pse_dir.h"
#include "qev_config.h"
#include "qev_results.h"
#include "qev_tables.h"

namespace {

using namespace kestrin::qevcrypto;

HRESULT sec_config_get_PSE_dir(char* buffer, unsigned long size, const char** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (buffer == nullptr)
        return E_INVALIDARG;
    std::string dir;
    HRESULT hr = PseDir(&dir);
    if (FAILED(hr))
        return hr;
    if (dir.size() >= size)
        return E_BUFFERTOOSMALL;
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    *out = buffer;
    return S_OK;
}

HRESULT sec_config_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_CONFIG_1", "library configuration");
}

QevTable<> s_table("SEC_CONFIG_1", &sec_config_get_info, {{12, qev_slot(&sec_config_get_PSE_dir)}});

}  // namespace

// A PSE provider module for the tests of security contexts: its "SEC_PSE_1"
// makes a PSE that answers its type and counts the live ones; "rawpse.1"
// reports that count and the context and provider the last creation saw. A
// chain that carries attribute kRefuseAttribute makes creation fail.
#include <cstring>

#include "qev_pse.h"
#include "raw_pse.h"
#include "unanswered_pse.h"

namespace {

int s_live = 0;
ASC* s_lastAsc = nullptr;
char s_lastProvider[64];

class RawPse final : public kestrin::qevtest::UnansweredPSE {
public:
    RawPse() { ++s_live; }

    const char* getType() override { return RAW_PSE_TYPE; }

private:
    ~RawPse() override { --s_live; }
};

HRESULT rawpse_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "SEC_PSE_1";
    if (module)
        *module = "qevrawpse";
    if (description)
        *description = "test provider";
    return S_OK;
}

HRESULT rawpse_create_PSE(PSE** out, ASC* asc, SECAttribute* chain)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    s_lastAsc = asc;
    s_lastProvider[0] = 0;
    for (SECAttribute* a = chain; a != nullptr; a = a->next) {
        if (a->id == RAW_PSE_REFUSE_ATTRIBUTE)
            return E_ACCESSDENIED;
        if (a->id == 1 && a->value != nullptr && s_lastProvider[0] == 0) {
            std::strncpy(s_lastProvider, static_cast<const char*>(a->value), sizeof s_lastProvider - 1);
            s_lastProvider[sizeof s_lastProvider - 1] = 0;
        }
    }
    *out = new RawPse();
    return S_OK;
}

SEC_PSE_TABLE s_pseTable = {{&rawpse_info}, &rawpse_create_PSE, nullptr, nullptr};

int live()
{
    return s_live;
}
ASC* last_asc()
{
    return s_lastAsc;
}
const char* last_provider()
{
    return s_lastProvider;
}

HRESULT rawpse_probe_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "rawpse.1";
    if (module)
        *module = "qevrawpse";
    if (description)
        *description = "test provider probe";
    return S_OK;
}

RAW_PSE_PROBE s_probe = {{&rawpse_probe_info}, &live, &last_asc, &last_provider};

HRESULT get_api(const char*, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = nullptr;
    if (std::strcmp(api, "SEC_PSE_1") == 0)
        *out = &s_pseTable;
    else if (std::strcmp(api, "rawpse.1") == 0)
        *out = &s_probe;
    return *out != nullptr ? S_OK : ZELK_E_API_NOTFOUND;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT module_init(SEC_FUNCTION_LIST*, MODULE_GET_API_FN* getter,
                                                                      void*, void*)
{
    if (getter)
        *getter = &get_api;
    return S_OK;
}

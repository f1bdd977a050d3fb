// Module "zelkpse" of the service's test tree: a PSE provider that adopts
// the PSE handed over in attribute 0xFF000000 once, holds it until the
// module is unloaded, hands it out to a context that names no PSE, and writes
// each hand-over to the file named by KESTRIN_FAKE_LOG ("adopt <type>", "hand
// out", or "ignore" followed by the PSE name of attribute 72 when one is
// given, and "release" at the end).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qev_attributes.h"
#include "qev_pse.h"
#include "zelk_module.h"
#include "zelk_psesvc.h"

namespace kestrin::service::test {
namespace {

PSE* s_pse = nullptr;

void Log(const char* line)
{
    const char* path = std::getenv("KESTRIN_FAKE_LOG");
    if (path == nullptr)
        return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

// Drops the adopted PSE when the module is unloaded, which the crypto
// library does before it unloads the service's module.
struct Holder {
    ~Holder()
    {
        if (s_pse) {
            s_pse->Release();
            Log("release");
        }
        s_pse = nullptr;
    }
};
Holder s_holder;

HRESULT get_info(const char** api, const char** module, const char** description)
{
    if (api)
        *api = "SEC_PSE_1";
    if (module)
        *module = "zelkpse";
    if (description)
        *description = "test provider";
    return S_OK;
}

HRESULT create_PSE(PSE** out, ASC*, SECAttribute* attributes)
{
    // A hand-over of no PSE drops the adopted one, so a test can leave none
    // behind.
    if (attributes && attributes->id == ATTR_SERVICE_PSE && attributes->value == nullptr) {
        if (s_pse) {
            s_pse->Release();
            Log("release");
        }
        s_pse = nullptr;
        return S_OK;
    }
    if (s_pse == nullptr && attributes && attributes->id == ATTR_SERVICE_PSE && attributes->value) {
        s_pse = static_cast<PSE*>(attributes->value);
        s_pse->AddRef();
        char line[64];
        std::snprintf(line, sizeof line, "adopt %s", s_pse->getType());
        Log(line);
        return S_OK;
    }
    // As the real provider does, a context that names no PSE gets the
    // adopted one.
    bool named = false;
    for (SECAttribute* a = attributes; a != nullptr; a = a->next)
        named = named || a->id == SEC_ATTR_PSE_NAME;
    if (s_pse != nullptr && out != nullptr && !named) {
        s_pse->AddRef();
        *out = s_pse;
        Log("hand out");
        return S_OK;
    }
    std::string line = "ignore";
    for (SECAttribute* a = attributes; a != nullptr; a = a->next)
        if (a->id == SEC_ATTR_PSE_NAME && a->value)
            line += std::string(" ") + static_cast<const char*>(a->value);
    Log(line.c_str());
    if (out)
        *out = nullptr;
    return out ? E_NOTIMPL : S_OK;
}

SEC_PSE_TABLE s_table = {{get_info}, create_PSE, nullptr, nullptr};
CZELK_API s_api("zelkpse", "SEC_PSE_1", &s_table);

}  // namespace
}  // namespace kestrin::service::test

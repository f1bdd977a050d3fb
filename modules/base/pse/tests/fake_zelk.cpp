// Module "zelk" of the PSE-access test tree: a PSE provider whose PSE is the
// one the test hands over through the table "zelk.test.pse" (one reference
// held until the test hands over another or NULL).
#include "qev_pse.h"
#include "zelk_module.h"

namespace kestrin::base::test {
namespace {

PSE* s_pse = nullptr;

HRESULT get_info(const char** api, const char** module, const char** description)
{
    if (api)
        *api = "SEC_PSE_1";
    if (module)
        *module = "zelk";
    if (description)
        *description = "test provider";
    return S_OK;
}

HRESULT create_PSE(PSE** out, ASC*, SECAttribute*)
{
    if (out == nullptr)
        return E_POINTER;
    *out = s_pse;
    if (s_pse == nullptr)
        return E_FAIL;
    s_pse->AddRef();
    return S_OK;
}

SEC_PSE_TABLE s_table = {{get_info}, create_PSE, nullptr, nullptr};
CZELK_API s_api("zelk", "SEC_PSE_1", &s_table);

struct TEST_PSE_TABLE : API_COMMON {
    void (*SetPSE)(PSE* pse);
};

HRESULT test_get_info(const char** api, const char** module, const char** description)
{
    if (api)
        *api = "zelk.test.pse";
    if (module)
        *module = "zelk";
    if (description)
        *description = "";
    return S_OK;
}

void SetPSE(PSE* pse)
{
    if (pse != nullptr)
        pse->AddRef();
    PSE* old = s_pse;
    s_pse = pse;
    if (old != nullptr)
        old->Release();
}

TEST_PSE_TABLE s_testTable = {{test_get_info}, SetPSE};
CZELK_API s_testApi("zelk", "zelk.test.pse", &s_testTable);

}  // namespace
}  // namespace kestrin::base::test

// Test module "zelktesta": binds the table of zelktestb while it starts, and
// registers one table name twice (the newer registration must win).
#define ZELKTEST_MODULE_IMPL
#define ZELKTEST_NAME "zelktesta"
#define ZELKTEST_BIND_MODULE "zelktestb"
#define ZELKTEST_BIND_TABLE "zelktest.1"
#include "test_module.h"

namespace {

HRESULT older_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "zelktest.dup";
    if (module)
        *module = "older";
    if (description)
        *description = "";
    return S_OK;
}

HRESULT newer_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "zelktest.dup";
    if (module)
        *module = "newer";
    if (description)
        *description = "";
    return S_OK;
}

API_COMMON s_older = {&older_info};
API_COMMON s_newer = {&newer_info};
CZELK_API s_olderApi("zelktesta", "zelktest.dup", &s_older);
CZELK_API s_newerApi("zelktesta", "zelktest.dup", &s_newer);

// Refuses its table: lookups of it must fail.
class RefusingAPI : public CZELK_API {
public:
    using CZELK_API::CZELK_API;
    HRESULT PrepareAPI() override { return E_FAIL; }
};
RefusingAPI s_refused("zelktesta", "zelktest.refused", &s_older);

}  // namespace

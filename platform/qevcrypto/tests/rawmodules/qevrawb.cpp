// Raw test module "qevrawb": binds qevrawa back from its module_init.
#include "qevcrypto.h"

namespace {

// Binds back the module whose module_init is running (qevrawa).
HRESULT raw_start(SEC_FUNCTION_LIST* list, HRESULT* nested)
{
    API_COMMON* back = nullptr;
    *nested = list->get_api("qevrawa", "raw.1", &back);
    if (SUCCEEDED(*nested) && back == nullptr)
        *nested = E_FAIL;
    return S_OK;
}

}  // namespace

#define RAW_MODULE_NAME "qevrawb"
#include "raw_module.h"

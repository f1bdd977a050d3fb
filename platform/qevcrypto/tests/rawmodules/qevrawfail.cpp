// Raw test module "qevrawfail": its module_init fails.
#include "qevcrypto.h"

namespace {

HRESULT raw_start(SEC_FUNCTION_LIST*, HRESULT*)
{
    return E_FAIL;
}

}  // namespace

#define RAW_MODULE_NAME "qevrawfail"
#include "raw_module.h"

// Raw test module "qevrawa": binds qevrawb from its module_init.
#include "qevcrypto.h"

namespace {

// Binds a further module while the outer lookup of this one still runs.
HRESULT raw_start(SEC_FUNCTION_LIST* list, HRESULT* nested)
{
    API_COMMON* other = nullptr;
    *nested = list->get_api("qevrawb", "raw.1", &other);
    return S_OK;
}

}  // namespace

#define RAW_MODULE_NAME "qevrawa"
#include "raw_module.h"

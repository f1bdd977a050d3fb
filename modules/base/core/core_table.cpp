// Table "zelk.misc.base.core.1" of module "zelkbase".
#include "core_helpers.h"
#include "zelk_module.h"

namespace kestrin::base {
namespace {

// Kept for the table's layout; no caller relies on them.
int SET_Contains(const void*, const void*)
{
    return 0;
}
void SET_Add(void*, const void*) {}
void SET_Add_Element(void*, const void*) {}

HRESULT ZELKBASE_CORE_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELKBASE_CORE_API;
    if (module)
        *module = "zelkbase";
    if (description)
        *description = "";
    return S_OK;
}

ZELKBASE_CORE_TABLE s_table = {
    {ZELKBASE_CORE_get_info},
    SET_Contains,
    SET_Add,
    SET_Add_Element,
    OctetString_ZeroTerminate,
    OctetString_Create,
    OctetString_CreateByBuffer,
    OctetString_CreateByRange,
    GenerateScrambler,
    GenerateScramblerEx,
    aux_enc_base64,
    aux_dec_base64,
    aux_cipher_blocksize,
    aux_cipher_keysize,
    aux_process_get_parent,
    aux_create_pkcs12,
    aux_open_pkcs12,
};

CZELK_API s_register("zelkbase", ZELKBASE_CORE_API, &s_table);

}  // namespace
}  // namespace kestrin::base

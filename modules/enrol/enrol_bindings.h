// The tables module "zelkkvlogin" binds at its start, and typed access to them.
#pragma once

#include "qev_crypt.h"
#include "qev_pse.h"
#include "zelk_base_core.h"
#include "zelk_hashtable.h"
#include "zelk_holders.h"
#include "zelk_json.h"
#include "zelk_module.h"

extern API_COMMON* fptr__asc;
extern API_COMMON* fptr__crypt;
extern API_COMMON* ZELK_HASHTABLE_TABLE;
extern API_COMMON* ZELK_BASE_CORE_TABLE;
extern API_COMMON* ZELK_JSON_TABLE;

namespace kestrin::enrol {

inline const SEC_ASC_TABLE* AscTable()
{
    return ZELK_ApiCast<SEC_ASC_TABLE>(fptr__asc);
}
inline const SEC_CRYPT_TABLE* CryptTable()
{
    return ZELK_ApiCast<SEC_CRYPT_TABLE>(fptr__crypt);
}
inline const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}
inline const ZELKBASE_HASHTABLE_TABLE* HashTables()
{
    return ZELK_ApiCast<ZELKBASE_HASHTABLE_TABLE>(ZELK_HASHTABLE_TABLE);
}
inline const ZELKBASE_CORE_TABLE* BaseCore()
{
    return ZELK_ApiCast<ZELKBASE_CORE_TABLE>(ZELK_BASE_CORE_TABLE);
}
inline const JSONAPI_FUNCTION_TABLE* JsonApi()
{
    return ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(ZELK_JSON_TABLE);
}

}  // namespace kestrin::enrol

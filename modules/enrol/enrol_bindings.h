// The tables module "zelkkvlogin" binds at its start, and typed access to them.
#pragma once

#include "qev_crypt.h"
#include "qev_io.h"
#include "qev_keyconvert.h"
#include "qev_pse.h"
#include "qev_random.h"
#include "zelk_base_core.h"
#include "zelk_hashtable.h"
#include "zelk_holders.h"
#include "zelk_json.h"
#include "zelk_module.h"

extern API_COMMON* fptr__asc;
extern API_COMMON* fptr__crypt;
extern API_COMMON* fptr__io;
extern API_COMMON* fptr__keyconvert;
extern API_COMMON* fptr__oldpse;
extern API_COMMON* fptr__random;
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
inline const SEC_IO_TABLE* IoTable()
{
    return ZELK_ApiCast<SEC_IO_TABLE>(fptr__io);
}
inline const SEC_KEYCONVERT_TABLE* KeyConvertTable()
{
    return ZELK_ApiCast<SEC_KEYCONVERT_TABLE>(fptr__keyconvert);
}
inline const SEC_OLDPSE_TABLE* OldPseTable()
{
    return ZELK_ApiCast<SEC_OLDPSE_TABLE>(fptr__oldpse);
}
inline const SEC_RANDOM_TABLE* RandomTable()
{
    return ZELK_ApiCast<SEC_RANDOM_TABLE>(fptr__random);
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

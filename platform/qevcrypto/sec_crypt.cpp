// "SEC_CRYPT_1": key pairs, digest encryption and ciphers.
#include "qev_tables.h"

namespace {

HRESULT sec_crypt_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_CRYPT_1", "key pairs, digest encryption and ciphers");
}

QevTable<> s_table("SEC_CRYPT_1", &sec_crypt_get_info, {});

}  // namespace

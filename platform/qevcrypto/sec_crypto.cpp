// "SEC_CRYPTO_1": message authentication codes.
#include "qev_tables.h"

namespace {

HRESULT sec_crypto_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_CRYPTO_1", "message authentication codes");
}

QevTable<> s_table("SEC_CRYPTO_1", &sec_crypto_get_info, {});

}  // namespace

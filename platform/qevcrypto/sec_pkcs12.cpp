// "SEC_PKCS12_1": PKCS#12 values.
#include "qev_tables.h"

namespace {

HRESULT sec_pkcs12_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_PKCS12_1", "PKCS#12 values");
}

QevTable<> s_table("SEC_PKCS12_1", &sec_pkcs12_get_info, {});

}  // namespace

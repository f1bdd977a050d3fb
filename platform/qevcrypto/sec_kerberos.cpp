// "SEC_KERBEROS_1": Kerberos tickets and SPNEGO tokens.
#include "qev_tables.h"

namespace {

HRESULT sec_kerberos_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_KERBEROS_1", "Kerberos tickets and SPNEGO tokens");
}

QevTable<> s_table("SEC_KERBEROS_1", &sec_kerberos_get_info, {});

}  // namespace

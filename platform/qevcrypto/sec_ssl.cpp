// "SEC_SSL_1": TLS.
#include "qev_tables.h"

namespace {

HRESULT sec_ssl_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_SSL_1", "TLS");
}

QevTable<> s_table("SEC_SSL_1", &sec_ssl_get_info, {});

}  // namespace

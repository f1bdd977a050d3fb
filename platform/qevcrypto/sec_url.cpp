// "SEC_URL_1": URLs and HTTPS connections.
#include "qev_tables.h"

namespace {

HRESULT sec_url_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_URL_1", "URLs and HTTPS connections");
}

QevTable<> s_table("SEC_URL_1", &sec_url_get_info, {});

}  // namespace

// "SEC_PSE_1": personal security environments.
#include "qev_tables.h"

namespace {

HRESULT sec_pse_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_PSE_1", "personal security environments");
}

QevTable<> s_table("SEC_PSE_1", &sec_pse_get_info, {});

}  // namespace

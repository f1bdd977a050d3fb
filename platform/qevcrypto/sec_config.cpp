// "SEC_CONFIG_1": library configuration.
#include "qev_tables.h"

namespace {

HRESULT sec_config_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_CONFIG_1", "library configuration");
}

QevTable<> s_table("SEC_CONFIG_1", &sec_config_get_info, {});

}  // namespace

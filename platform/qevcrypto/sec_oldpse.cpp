// "SEC_OLDPSE_1": PSE files of the former format.
#include "qev_tables.h"

namespace {

HRESULT sec_oldpse_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_OLDPSE_1", "PSE files of the former format");
}

QevTable<> s_table("SEC_OLDPSE_1", &sec_oldpse_get_info, {});

}  // namespace

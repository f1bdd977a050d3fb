// "SEC_ASC_1": security contexts.
#include "qev_tables.h"

namespace {

HRESULT sec_asc_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_ASC_1", "security contexts");
}

QevTable<> s_table("SEC_ASC_1", &sec_asc_get_info, {});

}  // namespace

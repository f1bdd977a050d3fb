// "SEC_MZT_1": signatures.
#include "qev_tables.h"

namespace {

HRESULT sec_mzt_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_MZT_1", "signatures");
}

QevTable<> s_table("SEC_MZT_1", &sec_mzt_get_info, {});

}  // namespace

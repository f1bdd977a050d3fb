// "SEC_KEYCONVERT_1": key conversion.
#include "qev_tables.h"

namespace {

HRESULT sec_keyconvert_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_KEYCONVERT_1", "key conversion");
}

QevTable<> s_table("SEC_KEYCONVERT_1", &sec_keyconvert_get_info, {});

}  // namespace

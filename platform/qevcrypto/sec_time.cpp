// "SEC_TIME_1": time values.
#include "qev_tables.h"

namespace {

HRESULT sec_time_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_TIME_1", "time values");
}

QevTable<> s_table("SEC_TIME_1", &sec_time_get_info, {});

}  // namespace

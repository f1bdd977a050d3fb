// "SEC_RANDOM_1": random numbers.
#include "qev_tables.h"

namespace {

HRESULT sec_random_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_RANDOM_1", "random numbers");
}

QevTable<> s_table("SEC_RANDOM_1", &sec_random_get_info, {});

}  // namespace

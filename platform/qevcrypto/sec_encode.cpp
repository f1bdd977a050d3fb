// "SEC_ENCODE_1": text encodings.
#include "qev_tables.h"

namespace {

HRESULT sec_encode_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_ENCODE_1", "text encodings");
}

QevTable<> s_table("SEC_ENCODE_1", &sec_encode_get_info, {});

}  // namespace

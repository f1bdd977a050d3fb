// "SEC_IO_1": files.
#include "qev_tables.h"

namespace {

HRESULT sec_io_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_IO_1", "files");
}

QevTable<> s_table("SEC_IO_1", &sec_io_get_info, {});

}  // namespace

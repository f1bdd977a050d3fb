// "SEC_KEYCONVERT_1": key conversion.
#include "key_converter.h"
#include "qev_tables.h"

namespace {

HRESULT sec_keyconvert_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_KEYCONVERT_1", "key conversion");
}

HRESULT sec_keyConvert_create_KeyConverter(KeyConverter** out)
{
    return kestrin::qevcrypto::CreateKeyConverter(out);
}

QevTable<> s_table("SEC_KEYCONVERT_1", &sec_keyconvert_get_info, {{1, qev_slot(&sec_keyConvert_create_KeyConverter)}});

}  // namespace

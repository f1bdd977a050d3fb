// "SEC_ASC_1": security contexts.
#include "asc_object.h"
#include "qev_tables.h"

namespace {

using kestrin::qevcrypto::AscObject;

HRESULT sec_asc_create_ASC(ASC** out, SECAttribute* attributes)
{
    return AscObject::Create(attributes, out);
}

HRESULT sec_asc_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_ASC_1", "security contexts");
}

QevTable<> s_table("SEC_ASC_1", &sec_asc_get_info, {{1, qev_slot(&sec_asc_create_ASC)}});

}  // namespace

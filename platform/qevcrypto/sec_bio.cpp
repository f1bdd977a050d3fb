// "SEC_BIO_1": memory and socket I/O channels.
#include "https/tls_server.h"
#include "qev_tables.h"

namespace {

HRESULT sec_bio_new(bio** out, unsigned int type)
{
    return kestrin::qevcrypto::https::CreateBio(type, out);
}

HRESULT sec_bio_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_BIO_1", "memory and socket I/O channels");
}

QevTable<> s_table("SEC_BIO_1", &sec_bio_get_info, {{5, qev_slot(&sec_bio_new)}});

}  // namespace

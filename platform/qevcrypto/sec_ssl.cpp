// "SEC_SSL_1": TLS.
#include "https/tls_server.h"
#include "qev_tables.h"

namespace {

HRESULT sec_ssl_new_context(ssl_context** out, unsigned int version, unsigned int mode)
{
    return kestrin::qevcrypto::https::CreateServerContext(version, mode, out);
}

HRESULT sec_ssl_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_SSL_1", "TLS");
}

QevTable<> s_table("SEC_SSL_1", &sec_ssl_get_info, {{2, qev_slot(&sec_ssl_new_context)}});

}  // namespace

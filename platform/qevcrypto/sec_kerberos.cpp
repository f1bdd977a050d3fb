// "SEC_KERBEROS_1": service tickets (MIT krb5) and SPNEGO tokens (GSSAPI)
// from the user's default credential cache.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>

#include <cstring>

#include "qev_kerberos.h"
#include "qev_tables.h"
#include "types_values.h"

namespace {

using kestrin::qevcrypto::values::FreeOctets;
using kestrin::qevcrypto::values::NewOctets;

HRESULT sec_kerberos_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, SEC_KERBEROS_API, "Kerberos tickets and SPNEGO tokens");
}

bool ValidTarget(const char* target)
{
    return target != nullptr && target[0] != '\0'
           && strnlen(target, SEC_KERBEROS_MAX_TARGET + 1) <= SEC_KERBEROS_MAX_TARGET;
}

// Failures that mean the user simply has no (valid) credentials yet.
HRESULT FromKrb5(krb5_error_code code)
{
    switch (code) {
    case KRB5_FCC_NOFILE:
    case KRB5_CC_NOTFOUND:
    case KRB5_CC_END:
    case KRB5_CC_FORMAT:
    case KRB5_NO_TKT_SUPPLIED:
    case KRB5KRB_AP_ERR_TKT_EXPIRED:
    case KRB5KDC_ERR_TGT_REVOKED:
        return SEC_E_KERBEROS_NO_CREDENTIALS;
    default:
        return SEC_E_KERBEROS_FAILED;
    }
}

struct Krb5Session {
    krb5_context context = nullptr;
    krb5_ccache cache = nullptr;
    krb5_principal client = nullptr;
    krb5_principal server = nullptr;
    krb5_creds* creds = nullptr;

    ~Krb5Session()
    {
        if (creds)
            krb5_free_creds(context, creds);
        if (server)
            krb5_free_principal(context, server);
        if (client)
            krb5_free_principal(context, client);
        if (cache)
            krb5_cc_close(context, cache);
        if (context)
            krb5_free_context(context);
    }
};

HRESULT sec_kerberos_clientGetTicket(const char* target, OctetString** ticket, OctetString** sessionKey,
                                     KerberosAlgorithmIdentifier* algorithm)
{
    if (ticket)
        *ticket = nullptr;
    if (sessionKey)
        *sessionKey = nullptr;
    if (!ValidTarget(target))
        return E_INVALIDARG;
    Krb5Session s;
    // A fresh context per request, so that KRB5CCNAME and the configuration
    // are read as they are now.
    if (krb5_init_context(&s.context) != 0) {
        s.context = nullptr;
        return SEC_E_KERBEROS_FAILED;
    }
    krb5_error_code code = krb5_cc_default(s.context, &s.cache);
    if (code == 0)
        code = krb5_cc_get_principal(s.context, s.cache, &s.client);
    if (code != 0)
        return FromKrb5(code);
    if (krb5_parse_name(s.context, target, &s.server) != 0)
        return SEC_E_KERBEROS_FAILED;
    krb5_creds wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.client = s.client;
    wanted.server = s.server;
    code = krb5_get_credentials(s.context, 0, s.cache, &wanted, &s.creds);
    if (code != 0)
        return FromKrb5(code);
    OctetString* t = NewOctets(reinterpret_cast<const uint8_t*>(s.creds->ticket.data), s.creds->ticket.length);
    OctetString* k = NewOctets(s.creds->keyblock.contents, s.creds->keyblock.length);
    if (t == nullptr || k == nullptr) {
        FreeOctets(t);
        FreeOctets(k);
        return E_OUTOFMEMORY;
    }
    if (algorithm)
        *algorithm = static_cast<KerberosAlgorithmIdentifier>(s.creds->keyblock.enctype);
    if (ticket)
        *ticket = t;
    else
        FreeOctets(t);
    if (sessionKey)
        *sessionKey = k;
    else
        FreeOctets(k);
    return S_OK;
}

HRESULT FromGss(OM_uint32 major, OM_uint32 minor)
{
    if (GSS_ROUTINE_ERROR(major) == GSS_S_NO_CRED || GSS_ROUTINE_ERROR(major) == GSS_S_CREDENTIALS_EXPIRED)
        return SEC_E_KERBEROS_NO_CREDENTIALS;
    if (minor != 0 && FromKrb5(static_cast<krb5_error_code>(minor)) == SEC_E_KERBEROS_NO_CREDENTIALS)
        return SEC_E_KERBEROS_NO_CREDENTIALS;
    return SEC_E_KERBEROS_FAILED;
}

HRESULT sec_kerberos_spnego_CreateToken(const char* target, OctetString** token)
{
    if (token == nullptr)
        return E_POINTER;
    *token = nullptr;
    if (!ValidTarget(target))
        return E_INVALIDARG;
    static gss_OID_desc spnego {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
    OM_uint32 minor = 0;
    gss_buffer_desc text {std::strlen(target), const_cast<char*>(target)};
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &text, GSS_KRB5_NT_PRINCIPAL_NAME, &name);
    if (GSS_ERROR(major))
        return SEC_E_KERBEROS_FAILED;
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc out {0, nullptr};
    major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, name, &spnego, 0, 0, GSS_C_NO_CHANNEL_BINDINGS,
                                 GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
    HRESULT hr = S_OK;
    if (GSS_ERROR(major)) {
        hr = FromGss(major, minor);
    } else if (out.length == 0) {
        hr = SEC_E_KERBEROS_FAILED;
    } else {
        *token = NewOctets(static_cast<const uint8_t*>(out.value), out.length);
        if (*token == nullptr)
            hr = E_OUTOFMEMORY;
    }
    OM_uint32 ignored = 0;
    gss_release_buffer(&ignored, &out);
    gss_delete_sec_context(&ignored, &context, GSS_C_NO_BUFFER);
    gss_release_name(&ignored, &name);
    return hr;
}

QevTable<> s_table(SEC_KERBEROS_API, &sec_kerberos_get_info,
                   {{1, qev_slot(&sec_kerberos_clientGetTicket)}, {20, qev_slot(&sec_kerberos_spnego_CreateToken)}});

}  // namespace

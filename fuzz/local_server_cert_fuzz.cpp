// DER certificates into the local-server token's port and validity checks:
// GetPort over the certificate the token holds, the port extension read
// beside it by OpenSSL, and IsValidCert with margins of none, a second, a day
// and the largest. A port must be in 1..65535 and be the INTEGER of an
// extension 1.3.6.1.4.1.32473.2.5.2 that OpenSSL reads from the same bytes;
// a certificate the token finds allowing TLS server authentication, or valid
// now, is one OpenSSL, where it reads it as well formed, finds so too. The
// runtime loads the crypto library and the base modules from the build's lib
// folder.
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_home.h"
#include "tokens/token_kv_persistent.h"
#include "zelk_module.h"

namespace {

using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_LocalServer;

constexpr const char* kPortOid = "1.3.6.1.4.1.32473.2.5.2";

// The token with the certificate it holds after a login set from outside.
class FuzzLocalServer : public CToken_LocalServer {
public:
    void Hold(Certificate* cert) { m_cert = cert; }
};

void StartRuntime()
{
    static const bool started = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("localserver");
        if (home.empty())
            return false;
        // OpenSSL stays up until the process ends, so that the crypto
        // library's own holders still find it when they go at exit.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        return ZELK_Initialize() == S_OK;
    }();
    if (!started)
        std::abort();
}

// Whether OpenSSL reads an extension of the port's identifier whose value is
// an INTEGER equal to `port` from the same bytes; true when it cannot read
// the certificate at all, since the two decoders need not agree on what is
// well formed.
bool OpensslAgrees(const uint8_t* data, size_t size, int port)
{
    const unsigned char* p = data;
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(size));
    if (x509 == nullptr)
        return true;
    ASN1_OBJECT* wanted = OBJ_txt2obj(kPortOid, 1);
    bool found = false;
    for (int i = 0; wanted != nullptr && !found && i < X509_get_ext_count(x509); ++i) {
        X509_EXTENSION* ext = X509_get_ext(x509, i);
        if (OBJ_cmp(X509_EXTENSION_get_object(ext), wanted) != 0)
            continue;
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        const unsigned char* q = ASN1_STRING_get0_data(value);
        ASN1_INTEGER* number = d2i_ASN1_INTEGER(nullptr, &q, ASN1_STRING_length(value));
        int64_t n = 0;
        found = number != nullptr && ASN1_INTEGER_get_int64(&n, number) == 1 && n == port;
        ASN1_INTEGER_free(number);
    }
    ASN1_OBJECT_free(wanted);
    X509_free(x509);
    return found || wanted == nullptr;
}

// OpenSSL's reading of the same bytes, when it reads them as a well-formed
// certificate: whether its extended key usage allows TLS server
// authentication and whether it is valid now.
struct OpensslView {
    bool read = false;
    bool serverAuth = false;
    bool validNow = false;
};

OpensslView ReadWithOpenssl(const uint8_t* data, size_t size)
{
    OpensslView view;
    const unsigned char* p = data;
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(size));
    if (x509 == nullptr)
        return view;
    const uint32_t flags = X509_get_extension_flags(x509);
    if ((flags & EXFLAG_INVALID) == 0 && p == data + size) {
        view.read = true;
        view.serverAuth = (flags & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(x509) & XKU_SSL_SERVER) != 0;
        view.validNow =
            X509_cmp_current_time(X509_get0_notBefore(x509)) < 0 && X509_cmp_current_time(X509_get0_notAfter(x509)) > 0;
    }
    X509_free(x509);
    return view;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StartRuntime();
    const SEC_TYPE_TABLE* certs = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    if (certs == nullptr)
        std::abort();
    OctetString der {size, const_cast<unsigned char*>(data)};
    void* decoded = nullptr;
    if (certs->decode(&der, &decoded) != S_OK || decoded == nullptr)
        return 0;
    auto* cert = static_cast<Certificate*>(decoded);

    CComObject<FuzzLocalServer>* token = nullptr;
    if (CComObject<FuzzLocalServer>::CreateInstance(&token) != S_OK)
        std::abort();
    static_cast<CToken*>(token)->AddRef();
    int port = 0;
    if (token->GetPort(&port) != E_INVALIDARG)
        std::abort();
    token->Hold(cert);
    port = -1;
    if (SUCCEEDED(token->GetPort(&port)) && (port < 1 || port > 65535 || !OpensslAgrees(data, size, port)))
        std::abort();

    const bool serverAuth = CToken_LocalServer::HasServerAuthentication(cert);
    const unsigned long margins[] = {0, 1, 86400, ULONG_MAX};
    for (unsigned long margin : margins)
        if (token->IsValidCert(cert, margin) && !serverAuth)
            std::abort();
    // The token may be stricter than OpenSSL, never more lenient.
    const OpensslView openssl = ReadWithOpenssl(data, size);
    if (openssl.read
        && ((serverAuth && !openssl.serverAuth)
            || (token->IsValidCert(cert, 0) && !(openssl.serverAuth && openssl.validNow))))
        std::abort();
    static_cast<CToken*>(token)->Release();
    cert->Release();
    return 0;
}

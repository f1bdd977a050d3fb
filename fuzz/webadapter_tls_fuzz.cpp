// Socket bytes into the TLS layer of a local HTTPS connection, with the JSON
// API handler over the recording facade inside. The first byte chooses the
// mode: even, the records that follow (a length byte and that many bytes)
// are raw socket bytes, one Transact call each; odd, an OpenSSL client in
// the process first completes a handshake and each record is plaintext it
// sends, its ciphertext cut in two at a point the record's first byte
// chooses. The runtime loads the crypto library from the build's lib folder.
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_home.h"
#include "qev_attributes.h"
#include "qev_io.h"
#include "qev_pse.h"
#include "webadapter/api_handler.h"
#include "webadapter/tests/facade_double.h"
#include "webadapter/tls_connection.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace {

using kestrin::webadapter::test::CreateFacadeDouble;
using kestrin::webadapter::test::FacadeDouble;
using ZELK::PSESVC::WEBCLIENT::CAPIHandler;
using ZELK::PSESVC::WEBCLIENT::CTLSConnection;

CZELK_CLASS s_facade("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, &CreateFacadeDouble);

API_COMMON* s_ssl = nullptr;
CLoadAPI s_loadSsl(nullptr, "SEC_SSL_1", &s_ssl);
API_COMMON* s_io = nullptr;
CLoadAPI s_loadIo(nullptr, "SEC_IO_1", &s_io);
API_COMMON* s_asc = nullptr;
CLoadAPI s_loadAsc(nullptr, "SEC_ASC_1", &s_asc);

// A PKCS#12 image of a new P-256 key and its self-signed certificate.
std::string NewIdentityImage()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    PKCS12* p12 = PKCS12_create("", "identity", key, cert, nullptr, 0, 0, 0, 0, 0);
    unsigned char* der = nullptr;
    int length = p12 != nullptr ? i2d_PKCS12(p12, &der) : -1;
    std::string image = length > 0 ? std::string(reinterpret_cast<char*>(der), static_cast<size_t>(length)) : "";
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(cert);
    EVP_PKEY_free(key);
    return image;
}

// The server context, made once with the runtime.
ssl_context* Context()
{
    static ssl_context* context = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("webtls");
        if (home.empty())
            std::abort();
        const auto* io = ZELK_Initialize() == S_OK ? ZELK_ApiCast<SEC_IO_TABLE>(s_io) : nullptr;
        const auto* ascs = ZELK_ApiCast<SEC_ASC_TABLE>(s_asc);
        const auto* ssl = ZELK_ApiCast<SEC_SSL_TABLE>(s_ssl);
        if (io == nullptr || ascs == nullptr || ssl == nullptr)
            std::abort();
        std::string image = NewIdentityImage();
        OctetString data {image.size(), reinterpret_cast<unsigned char*>(image.data())};
        char* name = nullptr;
        SECAttribute attribute {};
        ASC* asc = nullptr;
        ssl_context* made = nullptr;
        if (io->mem_reg(nullptr, &data, &name) != S_OK)
            std::abort();
        attribute.id = SEC_ATTR_PSE_IMAGE;
        attribute.value = name;
        if (ascs->create_ASC(&asc, &attribute) != S_OK
            || ssl->new_context(&made, SSL_VERSION_TLS12_AND_LATER, SSL_MODE_SERVER) != S_OK
            || made->SetOptions(SSL_OPTION_NO_RENEGOTIATION) != S_OK
            || made->Initialize(SSL_SETTING_SERVER_DEFAULTS) != S_OK || made->UseSecurityContext(asc, 0) != S_OK)
            std::abort();
        asc->Release();
        io->mem_unreg(name);
        std::free(name);
        // The crypto library goes before OpenSSL's own clean-up at exit.
        std::atexit([] {
            Context()->Release();
            ZELK_Finalize();
        });
        return made;
    }();
    return context;
}

ITunnel* NewTunnel()
{
    ssl_connection* connection = nullptr;
    ITunnel* tunnel = nullptr;
    ITunnel* handler = nullptr;
    ITunnelSource* source = nullptr;
    if (Context()->NewConnection(&connection) != S_OK
        || CTLSConnection::New(connection, IID_ITunnel, reinterpret_cast<void**>(&tunnel)) != S_OK
        || CFactoryImpl<CAPIHandler>::New(IID_ITunnel, reinterpret_cast<void**>(&handler)) != S_OK
        || tunnel->QueryInterface(IID_ITunnelSource, reinterpret_cast<void**>(&source)) != S_OK
        || source->Connect(handler) != S_OK)
        std::abort();
    source->Release();
    handler->Release();
    return tunnel;
}

// One Transact; its answer goes to `client` when there is one.
HRESULT Feed(ITunnel* tunnel, const std::string& bytes, SSL* client)
{
    unsigned long capacity = 8;
    auto* out = static_cast<unsigned char*>(sec_malloc(capacity));
    std::string in(bytes);
    HRESULT hr = tunnel->Transact(reinterpret_cast<unsigned char*>(in.data()), static_cast<unsigned long>(in.size()),
                                  &out, &capacity);
    if (hr == S_OK && client != nullptr && capacity > 0)
        BIO_write(SSL_get_rbio(client), out, static_cast<int>(capacity));
    sec_free(out);
    return hr;
}

std::string Take(SSL* client)
{
    std::string bytes;
    char buffer[16384];
    int n;
    while ((n = BIO_read(SSL_get_wbio(client), buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Context();
    FacadeDouble::Reset();
    ITunnel* tunnel = NewTunnel();
    SSL_CTX* clientCtx = nullptr;
    SSL* client = nullptr;
    bool alive = true;
    if (data[0] & 1) {
        clientCtx = SSL_CTX_new(TLS_client_method());
        client = SSL_new(clientCtx);
        SSL_set_bio(client, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(client);
        for (int i = 0; i < 4 && alive && SSL_is_init_finished(client) != 1; ++i) {
            SSL_do_handshake(client);
            alive = Feed(tunnel, Take(client), client) >= 0;
        }
        SSL_do_handshake(client);
    }
    size_t at = 1;
    while (alive && at < size) {
        size_t length = std::min<size_t>(data[at], size - at - 1);
        std::string piece(reinterpret_cast<const char*>(data + at + 1), length);
        at += 1 + length;
        if (client == nullptr) {
            alive = Feed(tunnel, piece, nullptr) >= 0;
            continue;
        }
        if (!piece.empty())
            SSL_write(client, piece.data(), static_cast<int>(piece.size()));
        std::string records = Take(client);
        size_t cut = piece.empty() ? 0 : static_cast<unsigned char>(piece[0]) % (records.size() + 1);
        alive = Feed(tunnel, records.substr(0, cut), client) >= 0 && Feed(tunnel, records.substr(cut), client) >= 0;
        char sink[4096];
        while (SSL_read(client, sink, sizeof sink) > 0) {
        }
    }
    SSL_free(client);
    SSL_CTX_free(clientCtx);
    tunnel->Release();
    return 0;
}

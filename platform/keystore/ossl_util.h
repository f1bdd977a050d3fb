// Owning holders for OpenSSL objects and small helpers shared by the key store.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <span>

#include "keystore.h"

namespace kestrin::keystore::detail {

template <auto Free>
struct OsslDeleter {
    template <class T>
    void operator()(T* p) const
    {
        Free(p);
    }
};

using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslDeleter<PKCS12_free>>;
using Pkcs8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OsslDeleter<PKCS8_PRIV_KEY_INFO_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslDeleter<X509_STORE_CTX_free>>;

inline void FreeX509Stack(STACK_OF(X509) * s)
{
    sk_X509_pop_free(s, X509_free);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<FreeX509Stack>>;

// Decodes one DER certificate that must span all of `der`.
HRESULT DecodeCertificate(std::span<const uint8_t> der, X509Ptr* out);
HRESULT EncodeCertificate(X509* cert, std::vector<uint8_t>* der, Fingerprint* sha1);
// SHA-1 of the certificate's SubjectPublicKeyInfo: pairs a stored key with
// every certificate of the same public key.
HRESULT PublicKeyId(X509* cert, Fingerprint* out);
void DescribeKey(EVP_PKEY* key, KeyType* type, int* bits);

// The store's own library context: the default provider and, for old
// PKCS#12 algorithms, the legacy one, without touching the process's
// default context. Null when it cannot be made (the process's default is used).
OSSL_LIB_CTX* LibCtx();

// Makes LibCtx() this thread's default for OpenSSL calls that take no context.
class LibCtxScope {
public:
    LibCtxScope() : previous_(OSSL_LIB_CTX_set0_default(LibCtx())) {}
    ~LibCtxScope() { OSSL_LIB_CTX_set0_default(previous_); }
    LibCtxScope(const LibCtxScope&) = delete;
    LibCtxScope& operator=(const LibCtxScope&) = delete;

private:
    OSSL_LIB_CTX* previous_;
};

}  // namespace kestrin::keystore::detail

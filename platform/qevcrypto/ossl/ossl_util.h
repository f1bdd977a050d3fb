// Owners for OpenSSL objects and byte buffers that wipe themselves, shared by
// the OpenSSL-backed parts of the crypto library.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kestrin::qevcrypto::ossl {

// Allocator whose memory is wiped before it is given back: every buffer that
// may hold a key or password uses it, including the copies a vector makes
// when it grows.
template <class T>
struct CleansingAllocator {
    using value_type = T;
    CleansingAllocator() noexcept = default;
    template <class U>
    CleansingAllocator(const CleansingAllocator<U>&) noexcept
    {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept
    {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const CleansingAllocator<U>&) const noexcept
    {
        return true;
    }
};

using Bytes = std::vector<uint8_t>;
using SecretBytes = std::vector<uint8_t, CleansingAllocator<uint8_t>>;

template <class T, void (*Fn)(T*)>
struct OsslDeleter {
    void operator()(T* p) const { Fn(p); }
};

using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509, X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslDeleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, OsslDeleter<EVP_CIPHER, EVP_CIPHER_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OsslDeleter<EVP_MD, EVP_MD_free>>;
using P8InfPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OsslDeleter<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslDeleter<PKCS12, PKCS12_free>>;
using SafeBagPtr = std::unique_ptr<PKCS12_SAFEBAG, OsslDeleter<PKCS12_SAFEBAG, PKCS12_SAFEBAG_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OsslDeleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME, ASN1_TIME_free>>;

}  // namespace kestrin::qevcrypto::ossl

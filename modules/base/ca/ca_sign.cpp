#include "ca_sign.h"

#include <cstring>
#include <vector>

#include "core/core_bindings.h"
#include "qev_crypt.h"

namespace kestrin::base {

namespace {

struct SignatureAlgorithm {
    unsigned char oid[9];
    size_t length;
    SEC_HASH_CODE hash;
};

// The signature algorithms whose digest is named by their identifier alone.
constexpr SignatureAlgorithm kAlgorithms[] = {
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05}, 9, SEC_HASH_SHA1},    // sha1WithRSAEncryption
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}, 9, SEC_HASH_SHA256},  // sha256WithRSAEncryption
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0C}, 9, SEC_HASH_SHA384},  // sha384WithRSAEncryption
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0D}, 9, SEC_HASH_SHA512},  // sha512WithRSAEncryption
    {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x01}, 7, SEC_HASH_SHA1},                // ecdsa-with-SHA1
    {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}, 8, SEC_HASH_SHA256},        // ecdsa-with-SHA256
    {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x03}, 8, SEC_HASH_SHA384},        // ecdsa-with-SHA384
    {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x04}, 8, SEC_HASH_SHA512},        // ecdsa-with-SHA512
};

const SignatureAlgorithm* Find(const AlgId* algorithm)
{
    if (algorithm == nullptr || algorithm->objid == nullptr || algorithm->objid->data == nullptr)
        return nullptr;
    for (const SignatureAlgorithm& a : kAlgorithms) {
        if (algorithm->objid->length == a.length && std::memcmp(algorithm->objid->data, a.oid, a.length) == 0)
            return &a;
    }
    return nullptr;
}

// Large enough for RSA keys of 16,384 bits and every ECDSA signature.
constexpr unsigned long kMaxSignature = 2048;

}  // namespace

HRESULT Certificate_SignWithToken(Certificate* cert, TokenObjectPrivateKey* key, const AlgId* algorithm)
{
    const SignatureAlgorithm* known = Find(algorithm);
    if (cert == nullptr || key == nullptr || known == nullptr)
        return E_INVALIDARG;
    auto* crypt = ZELK_ApiCast<SEC_CRYPT_TABLE>(fptr__crypt);
    if (crypt == nullptr)
        return E_FAIL;

    OctetString* tbs = nullptr;
    HRESULT hr = cert->getToBeSignedDer(algorithm, &tbs);
    if (FAILED(hr))
        return hr;
    unsigned char digest[64];
    uint64_t digestLength = sizeof digest;
    SECAttribute hash {SEC_ATTR_HASH, reinterpret_cast<void*>(static_cast<uintptr_t>(known->hash)), 0, 0, 0, nullptr,
                       nullptr};
    hr = crypt->hash_all(&hash, tbs->data, tbs->length, digest, &digestLength);
    const SEC_TYPE_TABLE* octets = CommonType(SEC_TYPE_OctetString);
    if (octets != nullptr)
        octets->free(tbs);
    if (FAILED(hr))
        return E_FAIL;

    // The flag tells the key that it is given the digest, not the data.
    std::vector<unsigned char> signature(kMaxSignature);
    unsigned long length = kMaxSignature;
    hr = key->sign(algorithm, 1, digest, static_cast<unsigned long>(digestLength), signature.data(), &length, nullptr);
    if (FAILED(hr))
        return hr;
    if (length == 0 || length > kMaxSignature)
        return E_FAIL;
    return cert->setSignature(signature.data(), length);
}

}  // namespace kestrin::base

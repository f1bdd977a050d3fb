// "SEC_CRYPT_1" with a private key the caller holds: digest encryption
// (slot 5: RSA PKCS#1 v1.5 and ECDSA) and RSA decryption for slot 18.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstring>

#include "qev_crypt.h"
#include "qev_tables.h"
#include "sec_attr.h"
#include "sec_crypt_keys.h"

namespace kestrin::qevcrypto {
namespace {

// TLS 1.0 and 1.1 sign MD5 and SHA-1 side by side, without a DigestInfo.
constexpr uint64_t kMd5Sha1Length = 36;

using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, ossl::OsslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

// The digest of a signature algorithm (sha256WithRSAEncryption,
// ecdsa-with-SHA256) or of a digest's own identifier; NULL for any other.
const EVP_MD* DigestOfAlgorithm(const AlgId* algorithm)
{
    if (algorithm == nullptr || algorithm->objid == nullptr || algorithm->objid->data == nullptr
        || algorithm->objid->length == 0 || algorithm->objid->length > 127)
        return nullptr;
    unsigned char der[130] = {0x06, static_cast<unsigned char>(algorithm->objid->length)};
    std::memcpy(der + 2, algorithm->objid->data, algorithm->objid->length);
    const unsigned char* p = der;
    ossl::Asn1ObjectPtr oid(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(algorithm->objid->length + 2)));
    if (!oid)
        return nullptr;
    int nid = OBJ_obj2nid(oid.get());
    int digest = NID_undef;
    int pkey = NID_undef;
    if (OBJ_find_sigid_algs(nid, &digest, &pkey) == 1)
        nid = digest;
    return nid != NID_undef ? EVP_get_digestbynid(nid) : nullptr;
}

const KeyInfo* PrivateKeyOf(const SECAttribute* chain)
{
    const SECAttribute* key = FindAttribute(chain, SEC_ATTR_KEY);
    return key != nullptr ? static_cast<const KeyInfo*>(key->value) : nullptr;
}

bool IsPrivate(EVP_PKEY* key)
{
    BIGNUM* d = nullptr;
    const char* name = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA ? "d" : "priv";
    bool has = EVP_PKEY_get_bn_param(key, name, &d) == 1 && d != nullptr;
    BN_clear_free(d);
    return has;
}

HRESULT sec_crypt_encrypt_digest(const SECAttribute* attributes, const unsigned char* digest, uint64_t length,
                                 unsigned char* out, uint64_t* outLength)
{
    if (outLength == nullptr || (digest == nullptr && length > 0))
        return E_INVALIDARG;
    ossl::EvpPkeyPtr key = KeyOfInfo(PrivateKeyOf(attributes));
    if (!key || !IsPrivate(key.get()))
        return E_INVALIDARG;
    const int type = EVP_PKEY_get_base_id(key.get());
    const EVP_MD* md = nullptr;
    if (type == EVP_PKEY_RSA) {
        if (length != kMd5Sha1Length) {
            const SECAttribute* algorithm = FindAttribute(attributes, SEC_ATTR_SIGNATURE_ALGORITHM);
            md = algorithm != nullptr ? DigestOfAlgorithm(static_cast<const AlgId*>(algorithm->value)) : nullptr;
            if (md == nullptr || static_cast<uint64_t>(EVP_MD_get_size(md)) != length)
                return E_INVALIDARG;
        }
    } else if (type != EVP_PKEY_EC || length == 0) {
        return E_INVALIDARG;
    }
    const int size = EVP_PKEY_get_size(key.get());
    if (size <= 0)
        return E_FAIL;
    if (out == nullptr || *outLength < static_cast<uint64_t>(size)) {
        *outLength = static_cast<uint64_t>(size);
        return SEC_E_BUFFER_TOO_SMALL;
    }
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t written = *outLength;
    bool ok = ctx && EVP_PKEY_sign_init(ctx.get()) == 1;
    if (ok && type == EVP_PKEY_RSA)
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1
             && (md == nullptr || EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1);
    ok = ok && EVP_PKEY_sign(ctx.get(), out, &written, digest, length) == 1;
    if (!ok)
        return E_FAIL;
    *outLength = written;
    return S_OK;
}

QevSlotFill s_fillEncryptDigest("SEC_CRYPT_1", 5, qev_slot(&sec_crypt_encrypt_digest));

}  // namespace

HRESULT DecryptWithPrivateKey(const SECAttribute* chain, const unsigned char* in, uint64_t inLength, unsigned char* out,
                              uint64_t* outLength)
{
    if (outLength == nullptr || (in == nullptr && inLength > 0))
        return E_INVALIDARG;
    ossl::EvpPkeyPtr key = KeyOfInfo(PrivateKeyOf(chain));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || !IsPrivate(key.get())) {
        *outLength = 0;
        return E_INVALIDARG;
    }
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return E_FAIL;
    // The plaintext is never longer than the modulus; decrypt into a wiped
    // buffer first so that a short caller buffer learns the exact length.
    ossl::SecretBytes plain(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
    size_t written = plain.size();
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &written, in, inLength) != 1)
        return E_FAIL;
    if (out == nullptr || *outLength < written) {
        *outLength = written;
        return SEC_E_BUFFER_TOO_SMALL;
    }
    if (written > 0)
        std::memcpy(out, plain.data(), written);
    *outLength = written;
    return S_OK;
}

}  // namespace kestrin::qevcrypto

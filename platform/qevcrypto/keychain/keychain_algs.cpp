#include "keychain_algs.h"

#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>

#include "lib_lists.h"
#include "types_values.h"

namespace kestrin::qevcrypto::keychain {
namespace {

using kestrin::keystore::DecryptPadding;
using kestrin::keystore::SignPadding;

constexpr unsigned char kDerNull[] = {0x05, 0x00};

AlgId* NewAlgId(int nid, bool nullParameters)
{
    char dotted[128];
    if (OBJ_obj2txt(dotted, sizeof dotted, OBJ_nid2obj(nid), 1) <= 0)
        return nullptr;
    AlgId* a = values::NewZeroed<AlgId>();
    if (a == nullptr)
        return nullptr;
    a->objid = values::ObjIdFromText(dotted);
    if (nullParameters)
        a->param = values::NewOctets(kDerNull, sizeof kDerNull);
    if (a->objid == nullptr || (nullParameters && a->param == nullptr)) {
        values::FreeAlgId(a);
        return nullptr;
    }
    return a;
}

size_t DigestLength(Digest d)
{
    switch (d) {
    case Digest::Sha1:
        return 20;
    case Digest::Sha256:
        return 32;
    case Digest::Sha384:
        return 48;
    case Digest::Sha512:
        return 64;
    }
    return 0;
}

bool DigestOfNid(int nid, Digest* out)
{
    switch (nid) {
    case NID_sha1:
        *out = Digest::Sha1;
        return true;
    case NID_sha256:
        *out = Digest::Sha256;
        return true;
    case NID_sha384:
        *out = Digest::Sha384;
        return true;
    case NID_sha512:
        *out = Digest::Sha512;
        return true;
    default:
        return false;
    }
}

bool DigestOfLength(size_t length, Digest* out)
{
    for (Digest d : {Digest::Sha1, Digest::Sha256, Digest::Sha384, Digest::Sha512}) {
        if (DigestLength(d) == length) {
            *out = d;
            return true;
        }
    }
    return false;
}

// The hash of an AlgorithmIdentifier inside parameters; SHA-1 when absent.
bool HashOf(const X509_ALGOR* hash, Digest* out)
{
    if (hash == nullptr) {
        *out = Digest::Sha1;
        return true;
    }
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, hash);
    return DigestOfNid(OBJ_obj2nid(oid), out);
}

// RSASSA-PSS parameters: the hash (and MGF1 with the same hash) and a salt as
// long as the digest, the only salt the key store makes. Absent parameters
// leave the hash to the digest's length.
HRESULT PssDigest(const AlgId* algorithm, bool digestInput, size_t inputLength, Digest* out)
{
    if (algorithm->param == nullptr || algorithm->param->length == 0) {
        if (digestInput)
            return DigestOfLength(inputLength, out) ? S_OK : E_INVALIDARG;
        *out = Digest::Sha256;
        return S_OK;
    }
    if (algorithm->param->length > INT_MAX)
        return E_INVALIDARG;
    const unsigned char* p = algorithm->param->data;
    RSA_PSS_PARAMS* params = d2i_RSA_PSS_PARAMS(nullptr, &p, static_cast<long>(algorithm->param->length));
    if (params == nullptr || p != algorithm->param->data + algorithm->param->length) {
        RSA_PSS_PARAMS_free(params);
        return E_INVALIDARG;
    }
    Digest digest;
    bool ok = HashOf(params->hashAlgorithm, &digest);
    if (ok && params->maskHash != nullptr) {
        Digest mask;
        ok = HashOf(params->maskHash, &mask) && mask == digest;
    }
    if (ok && params->saltLength != nullptr)
        ok = ASN1_INTEGER_get(params->saltLength) == static_cast<long>(DigestLength(digest));
    RSA_PSS_PARAMS_free(params);
    if (!ok)
        return E_INVALIDARG;
    *out = digest;
    return S_OK;
}

}  // namespace

HRESULT SignatureAlgorithms(KeyType key, SEQUENCE_OF_AlgId** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    struct Entry {
        int nid;
        bool nullParameters;
    };
    static constexpr Entry kRsa[] = {{NID_sha256WithRSAEncryption, true},
                                     {NID_sha384WithRSAEncryption, true},
                                     {NID_sha512WithRSAEncryption, true},
                                     {NID_rsassaPss, false}};
    static constexpr Entry kEc[] = {
        {NID_ecdsa_with_SHA256, false}, {NID_ecdsa_with_SHA384, false}, {NID_ecdsa_with_SHA512, false}};
    const Entry* begin = key == KeyType::Rsa ? kRsa : kEc;
    const Entry* end = key == KeyType::Rsa ? std::end(kRsa) : std::end(kEc);
    if (key == KeyType::Other)
        return S_OK;
    SEQUENCE_OF_AlgId* list = nullptr;
    SEQUENCE_OF_AlgId** cursor = &list;
    for (const Entry* e = begin; e != end; ++e) {
        AlgId* a = NewAlgId(e->nid, e->nullParameters);
        HRESULT hr = a != nullptr ? AppendNode(SEC_TYPE_SEQUENCE_OF_AlgId, cursor, a) : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            values::FreeAlgId(a);
            FreeTyped(SEC_TYPE_SEQUENCE_OF_AlgId, list);
            return hr;
        }
    }
    *out = list;
    return S_OK;
}

HRESULT PlanSignature(const AlgId* algorithm, KeyType key, bool digestInput, size_t inputLength, SignPlan* out)
{
    if (out == nullptr)
        return E_POINTER;
    SignPlan plan;
    int nid = algorithm != nullptr ? values::ObjIdNid(algorithm->objid) : NID_undef;
    if (algorithm == nullptr)
        nid = key == KeyType::Rsa ? NID_rsaEncryption : NID_X9_62_id_ecPublicKey;
    const bool rsa = key == KeyType::Rsa;
    switch (nid) {
    case NID_rsaEncryption:
        if (!rsa)
            return E_INVALIDARG;
        plan.mode = SignPlan::Mode::RawPkcs1;
        break;
    case NID_X9_62_id_ecPublicKey:
        if (rsa || !digestInput || !DigestOfLength(inputLength, &plan.digest))
            return E_INVALIDARG;
        break;
    case NID_sha1WithRSAEncryption:
    case NID_sha256WithRSAEncryption:
    case NID_sha384WithRSAEncryption:
    case NID_sha512WithRSAEncryption:
    case NID_ecdsa_with_SHA1:
    case NID_ecdsa_with_SHA256:
    case NID_ecdsa_with_SHA384:
    case NID_ecdsa_with_SHA512: {
        bool rsaAlgorithm = nid == NID_sha1WithRSAEncryption || nid == NID_sha256WithRSAEncryption
                            || nid == NID_sha384WithRSAEncryption || nid == NID_sha512WithRSAEncryption;
        if (rsaAlgorithm != rsa)
            return E_INVALIDARG;
        int digestNid = NID_undef;
        OBJ_find_sigid_algs(nid, &digestNid, nullptr);
        if (!DigestOfNid(digestNid, &plan.digest))
            return E_INVALIDARG;
        break;
    }
    case NID_rsassaPss: {
        if (!rsa)
            return E_INVALIDARG;
        HRESULT hr = PssDigest(algorithm, digestInput, inputLength, &plan.digest);
        if (FAILED(hr))
            return hr;
        plan.padding = SignPadding::Pss;
        break;
    }
    default:
        return E_INVALIDARG;
    }
    if (plan.mode != SignPlan::Mode::RawPkcs1) {
        if (!digestInput)
            plan.mode = SignPlan::Mode::Data;
        else if (inputLength != DigestLength(plan.digest))
            return E_INVALIDARG;
    }
    *out = plan;
    return S_OK;
}

HRESULT PlanDecryption(const AlgId* algorithm, DecryptPadding* out)
{
    if (out == nullptr)
        return E_POINTER;
    int nid = algorithm != nullptr ? values::ObjIdNid(algorithm->objid) : NID_rsaEncryption;
    if (nid == NID_rsaEncryption) {
        *out = DecryptPadding::Pkcs1;
        return S_OK;
    }
    if (nid != NID_rsaesOaep)
        return E_INVALIDARG;
    if (algorithm->param == nullptr || algorithm->param->length == 0) {
        *out = DecryptPadding::OaepSha1;
        return S_OK;
    }
    if (algorithm->param->length > INT_MAX)
        return E_INVALIDARG;
    const unsigned char* p = algorithm->param->data;
    RSA_OAEP_PARAMS* params = d2i_RSA_OAEP_PARAMS(nullptr, &p, static_cast<long>(algorithm->param->length));
    if (params == nullptr || p != algorithm->param->data + algorithm->param->length) {
        RSA_OAEP_PARAMS_free(params);
        return E_INVALIDARG;
    }
    Digest digest;
    bool ok = HashOf(params->hashFunc, &digest) && (digest == Digest::Sha1 || digest == Digest::Sha256);
    if (ok && params->maskHash != nullptr) {
        Digest mask;
        ok = HashOf(params->maskHash, &mask) && mask == digest;
    }
    // A label (pSourceFunc with a non-empty value) is not supported.
    if (ok && params->pSourceFunc != nullptr) {
        const void* value = nullptr;
        int type = 0;
        X509_ALGOR_get0(nullptr, &type, &value, params->pSourceFunc);
        const auto* label = static_cast<const ASN1_OCTET_STRING*>(value);
        ok = type != V_ASN1_OCTET_STRING || label == nullptr || ASN1_STRING_length(label) == 0;
    }
    RSA_OAEP_PARAMS_free(params);
    if (!ok)
        return E_INVALIDARG;
    *out = digest == Digest::Sha1 ? DecryptPadding::OaepSha1 : DecryptPadding::OaepSha256;
    return S_OK;
}

}  // namespace kestrin::qevcrypto::keychain

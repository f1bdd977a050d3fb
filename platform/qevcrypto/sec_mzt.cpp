// "SEC_MZT_1": PKCS#7 data contents and SignedData whose signature is made by
// a PSE's own identity through encryptDigest, so the key never leaves its
// token.
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "asc_object.h"
#include "lib_lists.h"
#include "qev_attributes.h"
#include "qev_mzt.h"
#include "qev_records.h"
#include "qev_results.h"
#include "qev_tables.h"
#include "qev_trace.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

// Data to sign is refused beyond this before anything is copied.
constexpr uint64_t kMaxData = 64u << 20;
constexpr char kReauth[] = "[reauth]";
constexpr size_t kReauthLength = sizeof kReauth - 1;
// encryptDigest writes into a buffer of this size.
constexpr unsigned long kSignatureRoom = 512;

using Pkcs7Ptr = std::unique_ptr<PKCS7, ossl::OsslDeleter<PKCS7, PKCS7_free>>;

void Trace(unsigned int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    qev_trace_write(level, "qevcrypto", format, args);
    va_end(args);
}

bool IsFormat(const char* format, uint64_t length)
{
    return format != nullptr && length == 5 && std::memcmp(format, "PKCS7", 5) == 0;
}

// The DER of the object in the library's allocator.
HRESULT Deliver(PKCS7* p7, unsigned char** out, uint64_t* outLength)
{
    const int length = i2d_PKCS7(p7, nullptr);
    if (length <= 0)
        return E_FAIL;
    auto* buffer = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(length)));
    if (buffer == nullptr)
        return E_OUTOFMEMORY;
    unsigned char* at = buffer;
    if (i2d_PKCS7(p7, &at) != length) {
        std::free(buffer);
        return E_FAIL;
    }
    *out = buffer;
    *outLength = static_cast<uint64_t>(length);
    return S_OK;
}

HRESULT sec_mzt_encode(const char* format, uint64_t formatLength, const unsigned char* data, uint64_t length,
                       unsigned char** out, uint64_t* outLength)
{
    if (out == nullptr || outLength == nullptr)
        return E_POINTER;
    *out = nullptr;
    *outLength = 0;
    if (!IsFormat(format, formatLength) || (data == nullptr && length > 0) || length > kMaxData)
        return E_INVALIDARG;
    Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_data) != 1
        || ASN1_OCTET_STRING_set(p7->d.data, data, static_cast<int>(length)) != 1)
        return E_OUTOFMEMORY;
    return Deliver(p7.get(), out, outLength);
}

// The own certificates the signature layer offers for the profile text.
HRESULT FindSigner(PSE* pse, const SigRcpMztInformationStruct& signer, SET_OF_PersonalCertificateInfo** found)
{
    std::string profile(signer.profile != nullptr ? signer.profile : "",
                        signer.profile != nullptr ? signer.profileLength : 0);
    std::string identity(signer.identity != nullptr ? signer.identity : "",
                         signer.identity != nullptr ? signer.identityLength : 0);
    Trace(4, "MZT sign: identity [%s], profile [%s]", identity.c_str(), profile.c_str());
    const bool reauth = profile.compare(0, kReauthLength, kReauth) == 0;
    std::string uri = reauth ? profile.substr(kReauthLength) : profile;
    std::string caller = "MZT";
    SECAttribute uriAttribute {};
    uriAttribute.id = SEC_ATTR_TOKEN_URI;
    uriAttribute.value = uri.data();
    SECAttribute reauthAttribute {};
    reauthAttribute.id = SEC_ATTR_REAUTHENTICATE;
    SECAttribute filter {};
    filter.id = SEC_ATTR_CALLER;
    filter.value = caller.data();
    SECAttribute* tail = &filter;
    if (reauth) {
        tail->next = &reauthAttribute;
        tail = &reauthAttribute;
    }
    if (!uri.empty())
        tail->next = &uriAttribute;
    return pse->getOwnCertificate(nullptr, &filter, found);
}

// The signature algorithm for SHA-256 with the certificate's key.
AlgId* SignatureAlgorithm(X509* certificate)
{
    const EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (key == nullptr)
        return nullptr;
    const char* oid = nullptr;
    if (EVP_PKEY_is_a(key, "RSA"))
        oid = "1.2.840.113549.1.1.11";
    else if (EVP_PKEY_is_a(key, "EC"))
        oid = "1.2.840.10045.4.3.2";
    if (oid == nullptr)
        return nullptr;
    AlgId* algorithm = values::NewZeroed<AlgId>();
    if (algorithm == nullptr)
        return nullptr;
    algorithm->objid = values::ObjIdFromText(oid);
    if (algorithm->objid == nullptr) {
        values::FreeAlgId(algorithm);
        return nullptr;
    }
    return algorithm;
}

// SignedData over the content with signed attributes, signed by the PSE with
// the info's key.
HRESULT BuildSignedData(PSE* pse, const PersonalCertificateInfo* info, const ASN1_OCTET_STRING* content,
                        Pkcs7Ptr& result)
{
    X509* certificate = info->certificate != nullptr ? values::CertificateX509(info->certificate) : nullptr;
    if (certificate == nullptr)
        return E_PSE_NOTFOUND;
    std::unique_ptr<AlgId, decltype(&values::FreeAlgId)> algorithm(SignatureAlgorithm(certificate), &values::FreeAlgId);
    if (!algorithm)
        return E_PSE_NOTSUPPORTED;
    Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 || PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1)
        return E_OUTOFMEMORY;
    if (ASN1_OCTET_STRING_set(p7->d.sign->contents->d.data, content->data, content->length) != 1)
        return E_OUTOFMEMORY;
    // The signer info's algorithms come from the public key; the private key
    // stays with the token.
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), certificate, X509_get0_pubkey(certificate), EVP_sha256());
    if (si == nullptr || PKCS7_add_certificate(p7.get(), certificate) != 1)
        return E_FAIL;
    for (SEQUENCE_OF_Certificate* node = info->path; node != nullptr; node = node->next) {
        X509* above = node->element != nullptr ? values::CertificateX509(node->element) : nullptr;
        if (above != nullptr && X509_cmp(above, certificate) != 0 && PKCS7_add_certificate(p7.get(), above) != 1)
            return E_FAIL;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(content->data, static_cast<size_t>(content->length), digest, &digestLength, EVP_sha256(), nullptr)
            != 1
        || PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data)) != 1
        || PKCS7_add1_attrib_digest(si, digest, static_cast<int>(digestLength)) != 1
        || PKCS7_add0_attrib_signing_time(si, nullptr) != 1)
        return E_FAIL;
    unsigned char* attributes = nullptr;
    const int attributesLength =
        ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    if (attributesLength <= 0)
        return E_FAIL;
    const int hashed =
        EVP_Digest(attributes, static_cast<size_t>(attributesLength), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(attributes);
    if (hashed != 1)
        return E_FAIL;

    std::string tokenName = info->tokenName != nullptr ? info->tokenName : "";
    std::string keyId = info->keyId != nullptr ? info->keyId : "";
    SECAttribute algorithmAttribute {};
    algorithmAttribute.id = SEC_ATTR_SIGNATURE_ALGORITHM;
    algorithmAttribute.value = algorithm.get();
    algorithmAttribute.type = TypeTable(SEC_TYPE_AlgId);
    SECAttribute keyAttribute {};
    keyAttribute.id = SEC_ATTR_KEY_ID;
    keyAttribute.value = keyId.data();
    keyAttribute.next = &algorithmAttribute;
    SECAttribute signWith {};
    signWith.id = SEC_ATTR_TOKEN_URI;
    signWith.value = tokenName.data();
    signWith.next = &keyAttribute;
    unsigned char signature[kSignatureRoom];
    unsigned long signatureLength = sizeof signature;
    HRESULT hr = pse->encryptDigest(nullptr, &signWith, digest, digestLength, signature, &signatureLength);
    if (FAILED(hr))
        return hr;
    if (signatureLength == 0 || signatureLength > sizeof signature)
        return E_FAIL;
    if (ASN1_OCTET_STRING_set(si->enc_digest, signature, static_cast<int>(signatureLength)) != 1)
        return E_OUTOFMEMORY;
    result = std::move(p7);
    return S_OK;
}

HRESULT sec_mzt_sign(const char* format, uint64_t formatLength, const char* context, uint64_t contextLength,
                     unsigned char flag1, unsigned char flag2, const unsigned char* data, uint64_t length,
                     SigRcpMztInformationListStruct* signers, unsigned char** out, uint64_t* outLength)
{
    if (out == nullptr || outLength == nullptr)
        return E_POINTER;
    *out = nullptr;
    *outLength = 0;
    if (!IsFormat(format, formatLength) || context == nullptr || contextLength != 6
        || std::memcmp(context, "DFAULT", 6) != 0 || flag1 != 1 || flag2 != 0)
        return E_INVALIDARG;
    if (data == nullptr || length == 0 || length > kMaxData || signers == nullptr || signers->element == nullptr)
        return E_INVALIDARG;
    const unsigned char* at = data;
    Pkcs7Ptr content(d2i_PKCS7(nullptr, &at, static_cast<long>(length)));
    if (!content || at != data + length || !PKCS7_type_is_data(content.get()) || content->d.data == nullptr)
        return E_INVALIDARG;

    // The default context: the PSE its provider module hands out (in the
    // service, the service PSE).
    std::string provider = "zelkpse";
    SECAttribute providerAttribute {};
    providerAttribute.id = SEC_ATTR_PROVIDER;
    providerAttribute.value = provider.data();
    ASC* asc = nullptr;
    HRESULT hr = AscObject::Create(&providerAttribute, &asc);
    if (FAILED(hr))
        return hr;
    PSE* pse = nullptr;
    hr = asc->getPSE(&pse);
    asc->Release();
    if (FAILED(hr) || pse == nullptr)
        return FAILED(hr) ? hr : E_PSE_NOPSE;

    SET_OF_PersonalCertificateInfo* found = nullptr;
    hr = FindSigner(pse, *signers->element, &found);
    Pkcs7Ptr signedData;
    if (SUCCEEDED(hr)) {
        if (found == nullptr || found->element == nullptr)
            hr = E_PSE_NOTOKEN;
        else
            hr = BuildSignedData(pse, found->element, content->d.data, signedData);
    }
    FreeTyped(SEC_TYPE_SET_OF_PersonalCertificateInfo, found);
    pse->Release();
    if (FAILED(hr))
        return hr;
    return Deliver(signedData.get(), out, outLength);
}

HRESULT sec_mzt_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_MZT_1", "signatures");
}

QevTable<> s_table("SEC_MZT_1", &sec_mzt_get_info, {{2, qev_slot(&sec_mzt_encode)}, {4, qev_slot(&sec_mzt_sign)}});

}  // namespace

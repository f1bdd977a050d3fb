// Decoding and naming of certificates, shared by every part of the store.
#include <openssl/sha.h>

#include <cstring>

#include "ossl_util.h"

namespace kestrin::keystore {
namespace detail {

HRESULT DecodeCertificate(std::span<const uint8_t> der, X509Ptr* out)
{
    if (der.empty() || der.size() > kMaxCertificateSize)
        return E_INVALIDARG;
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert || p != der.data() + der.size())
        return KEYSTORE_E_BAD_CERTIFICATE;
    *out = std::move(cert);
    return S_OK;
}

HRESULT EncodeCertificate(X509* cert, std::vector<uint8_t>* der, Fingerprint* sha1)
{
    int len = i2d_X509(cert, nullptr);
    if (len <= 0 || static_cast<size_t>(len) > kMaxCertificateSize)
        return KEYSTORE_E_BAD_CERTIFICATE;
    der->resize(static_cast<size_t>(len));
    unsigned char* p = der->data();
    if (i2d_X509(cert, &p) != len)
        return KEYSTORE_E_BAD_CERTIFICATE;
    if (sha1 != nullptr)
        SHA1(der->data(), der->size(), sha1->data());
    return S_OK;
}

HRESULT PublicKeyId(X509* cert, Fingerprint* out)
{
    unsigned char* spki = nullptr;
    int len = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &spki);
    if (len <= 0)
        return KEYSTORE_E_BAD_CERTIFICATE;
    SHA1(spki, static_cast<size_t>(len), out->data());
    OPENSSL_free(spki);
    return S_OK;
}

void DescribeKey(EVP_PKEY* key, KeyType* type, int* bits)
{
    int id = EVP_PKEY_get_base_id(key);
    *type = id == EVP_PKEY_RSA || id == EVP_PKEY_RSA_PSS ? KeyType::Rsa
            : id == EVP_PKEY_EC                          ? KeyType::Ec
                                                         : KeyType::Other;
    *bits = EVP_PKEY_get_bits(key);
}

}  // namespace detail

HRESULT CertificateSha1(std::span<const uint8_t> der, Fingerprint* out)
{
    if (out == nullptr)
        return E_POINTER;
    detail::X509Ptr cert;
    HRESULT hr = detail::DecodeCertificate(der, &cert);
    if (FAILED(hr))
        return hr;
    SHA1(der.data(), der.size(), out->data());
    return S_OK;
}

HRESULT CertificateCommonName(std::span<const uint8_t> der, std::string* out)
{
    if (out == nullptr)
        return E_POINTER;
    out->clear();
    detail::X509Ptr cert;
    HRESULT hr = detail::DecodeCertificate(der, &cert);
    if (FAILED(hr))
        return hr;
    X509_NAME* subject = X509_get_subject_name(cert.get());
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0)
        return S_FALSE;
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (len < 0)
        return S_FALSE;
    try {
        out->assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(len));
    } catch (const std::bad_alloc&) {
        OPENSSL_free(utf8);
        return E_OUTOFMEMORY;
    }
    OPENSSL_free(utf8);
    return S_OK;
}

bool PrintNameMatches(std::string_view printName, std::string_view text, NameMatch how)
{
    if (how == NameMatch::Exact)
        return printName == text;
    return !text.empty() && printName.starts_with(text);
}

}  // namespace kestrin::keystore

// Key conversion through the crypto library: "SEC_KEYCONVERT_1" makes key
// converters, which hold one private key and a set of certificates and hand
// them out as PSE images, PKCS#12 files and single certificates; and
// "SEC_OLDPSE_1", which tells PSE images of the former format.
#pragma once

#include "qevcrypto.h"
#include "zelk_common_fl.h"
#include "zelk_guid.h"

constexpr const char* SEC_KEYCONVERT_API = "SEC_KEYCONVERT_1";
constexpr const char* SEC_OLDPSE_API = "SEC_OLDPSE_1";

// Room the caller gives reportMissingCertificate for the name.
constexpr unsigned long SEC_KEYCONVERT_MISSING_TEXT = 1024;

// Every output follows one rule: with `buffer` NULL, *length receives the
// size and the result is 0; a shorter *length gives E_COMMON_BUFFERTOOSMALL
// with the size in *length; otherwise the bytes are copied and *length holds
// their count. A failed import leaves the content as it was.
class KeyConverter : public COMMON_FL_TEMPLATE<KeyConverter> {
public:
    // 7: a PKCS#12 file or PSE image opened with the password (certificates
    // and trusted certificates are added, its first key replaces the one
    // held), or a DER private key (replaces the one held). Bytes that are
    // neither: E_COMMON_INVALIDDATA; a wrong password: E_PSE_BADPASSWORD.
    virtual HRESULT importKeyMaterial(const unsigned char* data, unsigned long length, const char* password,
                                      unsigned long passwordLength) = 0;
    // 8: one DER certificate.
    virtual HRESULT addCertificate(const unsigned char* der, unsigned long length) = 0;
    // 9: PEM text of certificates or PKCS#7 blocks, a DER certificate or a
    // DER PKCS#7 of certificates. Nothing of that: E_COMMON_INVALIDDATA.
    virtual HRESULT importCertificates(const unsigned char* data, unsigned long length) = 0;
    // 10: DER of the chain's certificate at `index`: 0 the certificate of the
    // key, then its issuers (by name and signature) up to a self-signed one.
    // No such certificate: E_COMMON_INVALIDDATA.
    virtual HRESULT getChainCertificate(unsigned long index, unsigned char* buffer, unsigned long* length) = 0;
    // 11: DER of the held self-signed CA certificate at `index`; *length 0 and
    // result 0 past the last.
    virtual HRESULT getTrustedCertificate(unsigned long index, unsigned char* buffer, unsigned long* length) = 0;
    // 12: the issuer name (one line, UTF-8, NUL-terminated) of the first
    // certificate of the chain whose issuer is not held, walking from the
    // key's certificate (without one, the first certificate) to a self-signed
    // one; *length 0 and result 0 when nothing is missing.
    virtual HRESULT reportMissingCertificate(char* text, unsigned long* length) = 0;
    // 13: a PSE image (the library's PSE file format) of the key and every
    // certificate under the password. There is one image format, so
    // `oldFormat` changes nothing. Empty converter: E_COMMON_INVALIDDATA.
    virtual HRESULT exportPSE(int oldFormat, const char* password, unsigned long passwordLength, unsigned char* buffer,
                              unsigned long* length) = 0;
    // 14: a PKCS#12 file of the key, its chain and the other certificates:
    // key and certificates encrypted with `algorithm` (a PKCS#12 PBE name
    // such as "pbeWithSHA1And3-KeyTripleDES-CBC"), 2048 iterations, SHA-1
    // integrity code. `reserved` is not read. Without a key and its
    // certificate: E_COMMON_INVALIDDATA; an unknown algorithm: E_INVALIDARG.
    virtual HRESULT exportPKCS12(int reserved, const char* algorithm, const char* password,
                                 unsigned long passwordLength, unsigned char* buffer, unsigned long* length) = 0;

protected:
    ~KeyConverter() = default;
};

ZELK_DEFINE_GUID(IID_KeyConverter, 0x6A1C2E12, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x12);

extern "C" {

struct SEC_KEYCONVERT_TABLE : API_COMMON {
    // 1: a new, empty converter with one reference.
    HRESULT (*sec_keyConvert_create_KeyConverter)(KeyConverter** out);
};

struct SEC_OLDPSE_TABLE : API_COMMON {
    // 1: decrypts a PSE image of the former format: positive with the
    // decrypted bytes in *decrypted (wiped and freed by the caller), 0 when
    // the image is not of that format. This library writes and knows no
    // former format, so every image answers 0.
    HRESULT(*sec_oldpse_LPSdecrypt_PSE)
    (const unsigned char* data, unsigned long length, const char* password, OctetString** decrypted);
};

}  // extern "C"

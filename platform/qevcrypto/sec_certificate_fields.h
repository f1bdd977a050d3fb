// The field views and setters behind a certificate object: key usage,
// extended key usage, basic constraints, names, validity and serial number,
// read from and written to the object's X.509 structure.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <vector>

#include "ossl/ossl_util.h"
#include "qev_values.h"

namespace kestrin::qevcrypto::values {

class CertificateFields {
public:
    // `building`: the certificate is under construction and takes the setters.
    explicit CertificateFields(bool building);
    ~CertificateFields();
    CertificateFields(const CertificateFields&) = delete;
    CertificateFields& operator=(const CertificateFields&) = delete;

    bool Building() const { return m_building; }

    const KeyUsage* GetKeyUsage(X509* x509, uint8_t* critical);
    const SEQUENCE_OF_ObjId* GetExtendedKeyUsage(X509* x509);
    const BasicConstraints* GetBasicConstraints(X509* x509);
    const DName* GetSubject(X509* x509);
    const DName* GetIssuer(X509* x509);
    const char* GetNotBefore(X509* x509);
    const char* GetNotAfter(X509* x509);
    const OctetString* GetSerialNumber(X509* x509);
    const OctetString* GetSubjectKeyIdentifier(X509* x509);
    int IsAuthority(X509* x509);
    // The version field: 0 for version 1, 2 for version 3.
    int GetVersion(X509* x509);
    // The index-th extension OpenSSL has no method for (Certificate's
    // getExtNonSupported).
    HRESULT GetNonSupportedExtension(X509* x509, unsigned long index, ObjId** id, OctetString** value,
                                     uint8_t* critical);

    HRESULT SetPublicKey(X509* x509, const KeyInfo* key);
    HRESULT SetName(X509* x509, bool issuer, const DName* name);
    HRESULT SetSerialNumber(X509* x509, const OctetString* serial);
    HRESULT SetTime(X509* x509, bool notAfter, const char* time);
    HRESULT SetKeyUsage(X509* x509, const KeyUsage* usage, uint8_t critical);
    // Makes `algorithm` (an AlgorithmIdentifier's DER) the signature
    // algorithm, inside and outside the to-be-signed part, and answers that
    // part's DER.
    HRESULT SetSignatureAlgorithm(X509* x509, const ossl::SecretBytes& algorithm, ossl::Bytes& tbs);
    HRESULT SetSignature(X509* x509, const unsigned char* signature, size_t length);

    struct Views;

private:
    // The views of the current fields, built on first use; held lock.
    const Views* Current(X509* x509);
    // Runs a change under the lock and retires the views it invalidates.
    template <class F>
    HRESULT Change(F change);

    std::mutex m_lock;
    const bool m_building;
    std::unique_ptr<Views> m_views;
    // Views of earlier states: callers may still hold pointers into them.
    std::vector<std::unique_ptr<Views>> m_retired;
};

// A new certificate under construction: version 3, nothing else set.
HRESULT NewCertificateUnderConstruction(Certificate** out);

}  // namespace kestrin::qevcrypto::values

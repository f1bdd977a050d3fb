// The library's key, algorithm and certificate values (qev_values.h) and their
// conversion to and from what OpenSSL reads and writes. Values live in the
// library's allocator (the C library's malloc, see qev_flist.cpp).
#pragma once

#include <cstdlib>

#include "ossl/ossl_util.h"
#include "qev_values.h"

namespace kestrin::qevcrypto::values {

template <class T>
T* NewZeroed()
{
    return static_cast<T*>(std::calloc(1, sizeof(T)));
}

// A copy of the bytes with a NUL after them; NULL when memory runs out.
OctetString* NewOctets(const uint8_t* data, size_t length);
// Wipes the bytes before they are freed: octet strings may hold key bytes.
void FreeOctets(OctetString* s);
OctetString* CopyOctets(const OctetString* s);
int CompareOctets(const OctetString* a, const OctetString* b);

void FreeObjId(ObjId* id);
ObjId* CopyObjId(const ObjId* id);
int CompareObjId(const ObjId* a, const ObjId* b);
ObjId* ObjIdFromText(const char* text);
ObjId* ObjIdFromObject(const ASN1_OBJECT* obj);
// The OpenSSL object of an identifier; NID_undef when OpenSSL does not know it.
int ObjIdNid(const ObjId* id);

void FreeAlgId(AlgId* a);
AlgId* CopyAlgId(const AlgId* a);
int CompareAlgId(const AlgId* a, const AlgId* b);

void FreeKeyInfo(KeyInfo* k);
KeyInfo* CopyKeyInfo(const KeyInfo* k);
int CompareKeyInfo(const KeyInfo* a, const KeyInfo* b);

void FreePrivateKeyInfo(PrivateKeyInfo* p);
PrivateKeyInfo* CopyPrivateKeyInfo(const PrivateKeyInfo* p);

void FreeKeyPair(KeyPair* p);

// DER SubjectPublicKeyInfo of a public key.
HRESULT SpkiDer(const KeyInfo* publicKey, ossl::Bytes& der);
// DER PrivateKeyInfo of a record, and of a private key as version 0.
HRESULT Pkcs8Der(const PrivateKeyInfo* record, ossl::SecretBytes& der);
HRESULT Pkcs8DerOfKey(const KeyInfo* privateKey, ossl::SecretBytes& der);
HRESULT PrivateKeyInfoFromDer(const uint8_t* der, size_t length, PrivateKeyInfo** out);

// A new certificate object (one reference) over the X.509 certificate.
HRESULT NewCertificate(ossl::X509Ptr x509, Certificate** out);
HRESULT CertificateFromDer(const uint8_t* der, size_t length, Certificate** out);
// The encoding a certificate object of this library was read from; false for
// others and for a certificate under construction.
bool CertificateDer(Certificate* cert, const uint8_t** der, size_t* length);
// The certificate under a certificate object of this library; NULL for others.
X509* CertificateX509(Certificate* cert);

}  // namespace kestrin::qevcrypto::values

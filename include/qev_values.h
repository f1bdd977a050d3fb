// Value types of the crypto library for keys, algorithms and certificates, as
// the library and the modules share them. Values come from the library's
// allocator and are freed through their type tables (qevcrypto.h).
#pragma once

#include <cstdint>

#include "qevcrypto.h"
#include "zelk_unknown.h"

// The private-key information record (PKCS#8) in "SEC_COMMONTYPES_1".
constexpr unsigned int SEC_TYPE_PrivateKeyInfo = 59;

struct Certificate;

extern "C" {

// An object identifier: the DER contents octets (without tag and length).
struct ObjId {
    uint64_t length;
    unsigned char* data;
};

// An algorithm identifier: the object identifier and the DER encoding of its
// parameters (NULL when the parameters are absent).
struct AlgId {
    ObjId* objid;
    OctetString* param;
};

// A key: its algorithm, its length in bits and its bytes. A public key's bytes
// are the subjectPublicKey bit string of its certificate; a private key's are
// the privateKey octets of its PKCS#8 record; a symmetric key has no
// algorithm (the cipher names it at use).
struct KeyInfo {
    AlgId* algorithm;
    uint64_t bits;
    unsigned char* key;
};

// A key pair; either half may be NULL.
struct KeyPair {
    KeyInfo* publicKey;
    KeyInfo* privateKey;
};

// PKCS#8 PrivateKeyInfo: version, algorithm, private key octets.
struct PrivateKeyInfo {
    int version;
    AlgId* algorithm;
    OctetString* privateKey;
};

// A list of certificates: singly linked nodes; each node owns one reference
// of its certificate. Empty = NULL.
struct SET_OF_Certificate {
    Certificate* element;
    SET_OF_Certificate* next;
};

// The object-identifier type's table: the common entries and, at 10, the
// identifier of a name ("SHA-1", "pbeWithSHA1And128BitRC4", ...) or of a
// dotted text ("1.3.6.1.5.5.7.3.2").
struct SEC_OBJID_TYPE_TABLE : SEC_TYPE_TABLE {
    HRESULT (*from_text)(const char* text, ObjId** out);  // 10
};

}  // extern "C"

struct PRINT_CTX;

// A certificate of the library: a reference-counted, immutable object over an
// X.509 certificate. The first seven operations are the common shape of the
// library's objects; copy adds a reference to the same object.
struct Certificate : public IUnknown {
    virtual const char* getType() = 0;
    virtual HRESULT cpy(Certificate** out) = 0;
    virtual int cmp(const Certificate* other) = 0;
    virtual HRESULT print(char** out, const char* indent, PRINT_CTX* context) = 0;
    // A new copy of the subject public key (the caller frees it as a KeyInfo).
    virtual HRESULT getPublicKeyInfo(KeyInfo** out) = 0;
    // The value of the subject's first common name as UTF-8 text from the
    // library's allocator; 1 and NULL when the subject has none.
    virtual HRESULT getSubjectCommonName(char** out) = 0;

protected:
    ~Certificate() = default;
};

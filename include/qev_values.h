// Value types of the crypto library for keys, algorithms and certificates, as
// the library and the modules share them. Values come from the library's
// allocator and are freed through their type tables (qevcrypto.h).
#pragma once

#include <cstdint>

#include "qevcrypto.h"
#include "zelk_common_fl.h"
#include "zelk_unknown.h"

// The private-key information record (PKCS#8) in "SEC_COMMONTYPES_1".
constexpr unsigned int SEC_TYPE_PrivateKeyInfo = 59;

struct Certificate;
struct DName;

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

// The validity of a certificate: its two time texts (UTCTime or
// GeneralizedTime, see qev_time.h).
struct Validity {
    char* notBefore;
    char* notAfter;
};

// The part of an X.509 certificate that its signature covers, as the library's
// record, in the order of TBSCertificate. Its later members (unique
// identifiers, extensions) are neither read nor made here.
struct ToBeSigned {
    int version;
    OctetString* serialNumber;
    AlgId* signature;
    DName* issuer;
    Validity* validity;
    DName* subject;
    KeyInfo* subjectPublicKeyInfo;
};

// A list of certificates: singly linked nodes; each node owns one reference
// of its certificate. Empty = NULL.
struct SET_OF_Certificate {
    Certificate* element;
    SET_OF_Certificate* next;
};

// A distinguished name: the DER encoding of an X.509 Name.
struct DName {
    uint64_t length;
    unsigned char* der;
};

// The key-usage extension: one flag (0 or 1) per X.509 KeyUsage bit, in bit order.
struct KeyUsage {
    uint8_t digitalSignature;
    uint8_t nonRepudiation;
    uint8_t keyEncipherment;
    uint8_t dataEncipherment;
    uint8_t keyAgreement;
    uint8_t keyCertSign;
    uint8_t cRLSign;
    uint8_t encipherOnly;
    uint8_t decipherOnly;
};

// The basic-constraints extension; pathLenConstraint is -1 when absent.
struct BasicConstraints {
    uint8_t cA;
    int32_t pathLenConstraint;
};

// The extended-key-usage extension: its object identifiers in order.
struct SEQUENCE_OF_ObjId {
    ObjId* element;
    SEQUENCE_OF_ObjId* next;
};

// The distinguished-name type's table: the common entries and the one text
// form of names that the library and every filter use: the relative names
// from the most specific to the least ("CN=Alice, O=Example, C=DE"), each
// attribute as its short name (or its dotted identifier) and its UTF-8 value,
// the attributes of one relative name joined by " + ", and the characters
// , + " \ < > ; (anywhere), # and a blank (first) and a blank (last) escaped
// with a backslash. Compare (5) answers 0 for names that X.509 path
// building treats as equal (case and inner blanks folded).
struct SEC_DNAME_TYPE_TABLE : SEC_TYPE_TABLE {
    HRESULT (*to_text)(const DName* name, char** text);    // 10: library allocator
    HRESULT (*from_text)(const char* text, DName** name);  // 11
    // 12: positive when every relative name of `pattern` occurs in `name`
    // (compared as in X.509, in any order), 0 otherwise.
    int (*match)(const DName* pattern, const DName* name);
    // 13: the index-th value (UTF-8, library allocator) of an attribute named
    // "CN", "EMAIL" (emailAddress), "DNS" (unstructuredName), another short
    // name or a dotted identifier; S_FALSE and NULL past the last.
    HRESULT (*get_value)(const DName* name, const char* attribute, unsigned long index, char** value);
    // 14: takes the first value of that attribute out of the name; S_FALSE
    // and NULL when it has none.
    HRESULT (*take_value)(DName* name, const char* attribute, char** value);
};

// The object-identifier type's table: the common entries and, at 10, the
// identifier of a name ("SHA-1", "pbeWithSHA1And128BitRC4", ...) or of a
// dotted text ("1.3.6.1.5.5.7.3.2").
struct SEC_OBJID_TYPE_TABLE : SEC_TYPE_TABLE {
    HRESULT (*from_text)(const char* text, ObjId** out);  // 10
    // 11: the library's number of a key algorithm: 0 rsaEncryption, 3 id-dsa,
    // 17 id-ecPublicKey; -1 for any other identifier (Ed25519 among them) and
    // for NULL.
    int (*key_algorithm)(const ObjId* id);
};

// The integer type's table (`int`, 35): the common entries and, at 10, the
// value of one DER INTEGER (tag 02, a definite length, the fewest content
// octets in two's complement), which must fill the input; E_INVALIDARG for
// anything else and for a value beyond 64 bits.
struct SEC_INT_TYPE_TABLE : SEC_TYPE_TABLE {
    HRESULT (*decode_integer)(const OctetString* der, int64_t* value);  // 10
};

}  // extern "C"

// A certificate of the library: a reference-counted object over an X.509
// certificate, immutable once read from its encoding. It has the common shape
// of the library's objects; copy adds a reference to the same object.
struct Certificate : public COMMON_FL_TEMPLATE<Certificate> {
    // A new copy of the subject public key (the caller frees it as a KeyInfo).
    virtual HRESULT getPublicKeyInfo(KeyInfo** out) = 0;
    // The value of the subject's first common name as UTF-8 text from the
    // library's allocator; 1 and NULL when the subject has none.
    virtual HRESULT getSubjectCommonName(char** out) = 0;

    // Views of the certificate's fields. Each lives as long as the certificate
    // and is NULL when the certificate lacks it. `critical` (NULL allowed)
    // receives whether the key-usage extension is marked critical.
    virtual const KeyUsage* getExtKeyUsage(uint8_t* critical) = 0;
    virtual const SEQUENCE_OF_ObjId* getExtExtendedKeyUsage() = 0;
    virtual const BasicConstraints* getExtBasicConstraints() = 0;
    virtual const DName* getSubject() = 0;
    virtual const DName* getIssuer() = 0;
    // Time texts as in the certificate (UTCTime or GeneralizedTime, see qev_time.h).
    virtual const char* getNotBefore() = 0;
    virtual const char* getNotAfter() = 0;
    // The serial number's big-endian two's-complement content octets.
    virtual const OctetString* getSerialNumber() = 0;

    // Setters of a certificate under construction (made by the certificate
    // type's new entry); a certificate read from its encoding is immutable
    // and answers 0x80070005. Views taken before a change stay readable.
    virtual HRESULT setSubjectPublicKey(const KeyInfo* key) = 0;
    virtual HRESULT setIssuer(const DName* name) = 0;
    virtual HRESULT setSubject(const DName* name) = 0;
    virtual HRESULT setSerialNumber(const OctetString* serial) = 0;
    virtual HRESULT setNotBefore(const char* time) = 0;
    virtual HRESULT setNotAfter(const char* time) = 0;
    virtual HRESULT setExtKeyUsage(const KeyUsage* usage, uint8_t critical) = 0;

    // The subject-key-identifier extension's key identifier; a view as
    // above, NULL when the certificate has none.
    virtual const OctetString* getSubjectKeyIdentifier() = 0;
    // 1 when the certificate may issue certificates (basic constraints say cA,
    // or key usage has keyCertSign), else 0.
    virtual int isAuthority() = 0;
    // The X.509 version, counted from 0 (2 for a version 3 certificate).
    virtual int getDecidingNumber() = 0;

    // Signing a certificate under construction with a key the library does
    // not hold (a token's): the DER of its to-be-signed part once `algorithm`
    // is its signature algorithm (a new octet string of the library), then
    // the signature made over exactly those bytes, which completes the
    // certificate. A certificate read from its encoding answers 0x80070005.
    virtual HRESULT getToBeSignedDer(const AlgId* algorithm, OctetString** der) = 0;
    virtual HRESULT setSignature(const unsigned char* signature, uint64_t length) = 0;

    // The index-th of the extensions the library does not interpret itself,
    // counted in certificate order: new copies of its identifier and of the
    // contents of its extnValue (each output may be NULL; the caller frees
    // them through their type tables). S_FALSE and NULLs past the last.
    virtual HRESULT getExtNonSupported(unsigned long index, ObjId** id, OctetString** value, uint8_t* critical) = 0;

protected:
    ~Certificate() = default;
};

// Certification requests (PKCS#10, RFC 2986) as the crypto library's value
// types: attributes and their values, the request and its information, the
// extension list, general names; and the further entries of the
// distinguished-name and certificate-list types that requests and replies use.
#pragma once

#include "qev_values.h"
#include "qevcrypto.h"

extern "C" {

// The DER encodings of an attribute's values.
struct SET_OF_AttrValue {
    OctetString* element;
    SET_OF_AttrValue* next;
};

struct Attr {
    ObjId* type;
    SET_OF_AttrValue* values;
};

struct SET_OF_Attr {
    Attr* element;
    SET_OF_Attr* next;
};

struct CertificationRequestInfo {
    int32_t version;
    DName* subject;
    KeyInfo* subjectPublicKey;
    SET_OF_Attr* attributes;
};

// `info` is the DER of the signed CertificationRequestInfo; the signature is
// a bit string of `signatureBits` bits.
struct CertificationRequest {
    OctetString* info;
    AlgId* signatureAlgorithm;
    OctetString* signature;
    uint64_t signatureBits;
};

// `value` is the DER of the extension's value (the extnValue contents).
struct Extension {
    ObjId* id;
    uint8_t critical;
    OctetString* value;
};

struct SEQUENCE_OF_Extension {
    Extension* element;
    SEQUENCE_OF_Extension* next;
};

// GeneralName choices the library reads and writes.
enum SEC_GENERAL_NAME_TAG : uint32_t { SEC_GN_RFC822_NAME = 1, SEC_GN_DNS_NAME = 2 };

struct GeneralName {
    uint32_t tag;
    char* text;
};

struct SEQUENCE_OF_GeneralName {
    GeneralName* element;
    SEQUENCE_OF_GeneralName* next;
};

// The types' indexes in "SEC_COMMONTYPES_1" beside those of qevcrypto.h.
enum SEC_REQUEST_TYPE_INDEX : unsigned int {
    SEC_TYPE_Attr = 7,
    SEC_TYPE_SET_OF_AttrValue = 8,
    SEC_TYPE_CertificationRequest = 21,
    SEC_TYPE_CertificationRequestInfo = 22,
    SEC_TYPE_SEQUENCE_OF_Extension = 136,
};

// Table 32: the common entries (encode: DER GeneralNames) and these.
struct SEC_GENERALNAMES_TYPE_TABLE : SEC_TYPE_TABLE {
    // 10: appends a name of that tag (a new list when *list is NULL).
    HRESULT (*add)(SEQUENCE_OF_GeneralName** list, uint32_t tag, const char* text);
    // 11: the index-th name of that tag (library allocator); S_FALSE and NULL past the last.
    HRESULT (*get)(const SEQUENCE_OF_GeneralName* list, uint32_t tag, unsigned long index, char** text);
    // 12: the certificate's subject alternative names of the two tags; NULL when it has none.
    HRESULT (*of_certificate)(Certificate* certificate, SEQUENCE_OF_GeneralName** out);
};

// Table 79 (SET_OF_Certificate): the common entries and these.
struct SEC_CERTLIST_TYPE_TABLE : SEC_TYPE_TABLE {
    // 10: the certificates of a reply or file: PKCS#7 (certificates only) as
    // DER, PEM or Base64 of the DER (line breaks allowed), PEM certificates in
    // order, or one DER certificate. Else E_FAIL and no list.
    HRESULT (*parse)(const OctetString* bytes, SET_OF_Certificate** out);
    // 11: S_OK when the certificate's signature verifies with the issuer's
    // public key, S_FALSE when it does not.
    HRESULT (*verify_issued)(Certificate* certificate, Certificate* issuer);
};

}  // extern "C"

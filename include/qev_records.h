// Records and lists of the crypto library that PSEs, tokens and their callers
// hand each other: personal certificate infos, issuer-and-serial values, slot
// infos, password-list items and the lists over them. Values come from the
// library's allocator through the per-type tables of "SEC_COMMONTYPES_1"
// (qevcrypto.h) and are freed through them: the library keeps reference
// counts beside some of them, so a record or list node made any other way
// must never reach a type table.
#pragma once

#include <cstdint>

#include "qev_values.h"

extern "C" {

// An issuer name and a serial number (the serial's big-endian two's-complement
// content octets), as X.509 IssuerAndSerialNumber names one certificate.
struct IssuerAndSerial {
    DName* issuer;
    OctetString* serial;
};

// Certificates in path order, the certificate above the end entity first.
struct SEQUENCE_OF_Certificate {
    Certificate* element;
    SEQUENCE_OF_Certificate* next;
};

// Signature algorithms in order of preference.
struct SEQUENCE_OF_AlgId {
    AlgId* element;
    SEQUENCE_OF_AlgId* next;
};

// One usable certificate of a token and what identifies it there. Texts are
// UTF-8 from the library's allocator; every member may be NULL.
struct PersonalCertificateInfo {
    char* tokenName;     // the token's name (its URI)
    char* keyId;         // the key identifier on the token
    char* exactMatch;    // a text that a filter compares exactly
    char* substring;     // a text that a filter searches for a part
    char* serialNumber;  // the token's serial number
    char* label;         // the token's label
    Certificate* certificate;
    IssuerAndSerial* issuerAndSerial;
    SEQUENCE_OF_Certificate* path;  // the certification path above the certificate
    Certificate* pathEnd;           // the last certificate of the path (the root)
    SEQUENCE_OF_AlgId* sigAlgs;
    uint32_t references;  // kept by the library's type table; nobody else touches it
};

// A slot as the PSE's slot-info list records it.
struct SecSlotInfo {
    char* slotName;
    char* tokenName;
    uint32_t flags;
};

// One item of the PSE's password list: the five texts that
// `addPasswordListItem` takes, in its argument order.
struct PIN_Info {
    char* item[5];
};

// Lists: singly linked nodes (element, next), empty = NULL, built at a cursor
// with entry 7 of the list's type table.
struct SET_OF_DName {
    DName* element;
    SET_OF_DName* next;
};

struct SET_OF_PersonalCertificateInfo {
    PersonalCertificateInfo* element;
    SET_OF_PersonalCertificateInfo* next;
    int flag;  // the holder's mark; the library neither reads nor keeps it
};

struct SET_OF_SecSlotInfo {
    SecSlotInfo* element;
    SET_OF_SecSlotInfo* next;
};

struct SET_OF_PIN_Info {
    PIN_Info* element;
    SET_OF_PIN_Info* next;
};

}  // extern "C"

// Attribute identifiers of PSE, ASC and control calls, and the type of the
// value each carries. A record's own type table wins; the table below gives
// the type where a setter left none, so that a chain can be encoded to DER
// for another process. Integers are 32-bit values on the heap (type `int`).
#pragma once

#include <cstdint>

#include "qevcrypto.h"

enum SEC_PSE_ATTR : uint32_t {
    SEC_ATTR_PROVIDER = 1,                  // text: the PSE provider of a security context
    SEC_ATTR_PASSWORD = 32,                 // text: the password of the PSE images of a context
    SEC_ATTR_ISSUER = 54,                   // DName
    SEC_ATTR_SUBJECT = 55,                  // DName
    SEC_ATTR_SERIAL = 56,                   // OctetString
    SEC_ATTR_KEY_ID = 58,                   // text
    SEC_ATTR_PSE_NAME = 72,                 // text: "file://...", "tokkeychain:..."
    SEC_ATTR_DECRYPT_ALGORITHM = 102,       // AlgId
    SEC_ATTR_ISSUER_AND_SERIAL = 120,       // IssuerAndSerial
    SEC_ATTR_SUBJECT_KEY_ID = 121,          // OctetString
    SEC_ATTR_ROOT_ISSUERS = 130,            // SET_OF_DName
    SEC_ATTR_CALLER = 230,                  // text: the calling application or layer
    SEC_ATTR_EXACT_MATCH = 231,             // text
    SEC_ATTR_KEY_USAGE = 234,               // int: key-usage selector
    SEC_ATTR_PATH_SUBJECT = 235,            // DName: a pattern for a subject of the path
    SEC_ATTR_TOKEN_URI = 240,               // text
    SEC_ATTR_SIGNATURE_ALGORITHM = 500,     // AlgId
    SEC_ATTR_SUBJECT_NAME = 504,            // DName
    SEC_ATTR_PSE_IMAGE = 847,               // text: an in-memory file holding a PSE image
    SEC_ATTR_NO_PROVIDER = 848,             // presence only: a context without PSE provider
    SEC_ATTR_TARGET_NAME = 871,             // DName: the server's name
    SEC_ATTR_REAUTHENTICATE = 875,          // presence only
    SEC_ATTR_SERVER_CERTIFICATES = 878,     // SET_OF_Certificate, the server's own first
    SEC_ATTR_MANUAL_TRUST = 879,            // int
    SEC_ATTR_PSE_FLAG = 888,                // int: a flag of an open memory PSE, on by default
    SEC_ATTR_ACTION = 900,                  // text: the connection action
    SEC_ATTR_CONNECTION = 901,              // int: the connection number
    SEC_ATTR_CONNECTION_CONFIG = 902,       // text
    SEC_ATTR_TEMP_KEY = 905,                // presence only
    SEC_ATTR_TEMP_KEY_LIFETIME = 910,       // int: seconds
    SEC_ATTR_ENCRYPTION_ONLY = 911,         // int
    SEC_ATTR_KERBEROS_SESSION_KEY = 913,    // OctetString
    SEC_ATTR_KERBEROS_KEY_ALGORITHM = 914,  // int
    SEC_ATTR_KERBEROS_TICKET = 915,         // OctetString
    SEC_ATTR_CREDENTIAL = 916,              // PersonalCertificateInfo
    SEC_ATTR_CREDENTIAL_TEMP_KEYS = 917,    // int
    SEC_ATTR_HANDSHAKE_INFO = 918,          // text
    SEC_ATTR_CONTROL_CALLER = 1029,         // text
    SEC_ATTR_CONTROL_PATH = 1030,           // text
    SEC_ATTR_CONTROL_REQUEST = 1032,        // text
    SEC_ATTR_CONTROL_ANSWER = 1033,         // text
    SEC_ATTR_SERVICE_PSE = 0xFF000000u,     // PSE*: handed over inside the service process only
};

// A value type that is a pointer handed over inside one process: it has no
// encoding and never travels.
constexpr unsigned int SEC_TYPE_InProcess = 0xFFFFFFFFu;

struct SEC_ATTRIBUTE_TYPE {
    uint32_t id;
    unsigned int type;  // a SEC_TYPE_INDEX, or SEC_TYPE_InProcess
};

inline constexpr SEC_ATTRIBUTE_TYPE SEC_ATTRIBUTE_TYPES[] = {
    {SEC_ATTR_PROVIDER, SEC_TYPE_String},
    {SEC_ATTR_ISSUER, SEC_TYPE_DName},
    {SEC_ATTR_SUBJECT, SEC_TYPE_DName},
    {SEC_ATTR_SERIAL, SEC_TYPE_OctetString},
    {SEC_ATTR_KEY_ID, SEC_TYPE_String},
    {SEC_ATTR_PSE_NAME, SEC_TYPE_String},
    {SEC_ATTR_DECRYPT_ALGORITHM, SEC_TYPE_AlgId},
    {SEC_ATTR_ISSUER_AND_SERIAL, SEC_TYPE_IssuerAndSerial},
    {SEC_ATTR_SUBJECT_KEY_ID, SEC_TYPE_OctetString},
    {SEC_ATTR_ROOT_ISSUERS, SEC_TYPE_SET_OF_DName},
    {SEC_ATTR_CALLER, SEC_TYPE_String},
    {SEC_ATTR_EXACT_MATCH, SEC_TYPE_String},
    {SEC_ATTR_KEY_USAGE, SEC_TYPE_int},
    {SEC_ATTR_PATH_SUBJECT, SEC_TYPE_DName},
    {SEC_ATTR_TOKEN_URI, SEC_TYPE_String},
    {SEC_ATTR_SIGNATURE_ALGORITHM, SEC_TYPE_AlgId},
    {SEC_ATTR_SUBJECT_NAME, SEC_TYPE_DName},
    {SEC_ATTR_PSE_FLAG, SEC_TYPE_int},
    {SEC_ATTR_TARGET_NAME, SEC_TYPE_DName},
    {SEC_ATTR_SERVER_CERTIFICATES, SEC_TYPE_SET_OF_Certificate},
    {SEC_ATTR_MANUAL_TRUST, SEC_TYPE_int},
    {SEC_ATTR_ACTION, SEC_TYPE_String},
    {SEC_ATTR_CONNECTION, SEC_TYPE_int},
    {SEC_ATTR_CONNECTION_CONFIG, SEC_TYPE_String},
    {SEC_ATTR_TEMP_KEY_LIFETIME, SEC_TYPE_int},
    {SEC_ATTR_ENCRYPTION_ONLY, SEC_TYPE_int},
    {SEC_ATTR_KERBEROS_SESSION_KEY, SEC_TYPE_OctetString},
    {SEC_ATTR_KERBEROS_KEY_ALGORITHM, SEC_TYPE_int},
    {SEC_ATTR_KERBEROS_TICKET, SEC_TYPE_OctetString},
    {SEC_ATTR_CREDENTIAL, SEC_TYPE_PersonalCertificateInfo},
    {SEC_ATTR_CREDENTIAL_TEMP_KEYS, SEC_TYPE_int},
    {SEC_ATTR_HANDSHAKE_INFO, SEC_TYPE_String},
    {SEC_ATTR_CONTROL_CALLER, SEC_TYPE_String},
    {SEC_ATTR_CONTROL_PATH, SEC_TYPE_String},
    {SEC_ATTR_CONTROL_REQUEST, SEC_TYPE_String},
    {SEC_ATTR_CONTROL_ANSWER, SEC_TYPE_String},
    {SEC_ATTR_SERVICE_PSE, SEC_TYPE_InProcess},
};

// The value type of an attribute identifier; 0 when the table does not know it.
constexpr unsigned int SEC_AttributeValueType(uint32_t id)
{
    for (const SEC_ATTRIBUTE_TYPE& entry : SEC_ATTRIBUTE_TYPES)
        if (entry.id == id)
            return entry.type;
    return 0;
}

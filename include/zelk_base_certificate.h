// Certificates in module "zelkbase": the table "zelk.misc.base.certificate.1"
// (usage predicates, name and validity accessors, a duplicate-free set,
// Base64 decoding), the attribute view of one certificate and the
// container interface of the process-wide cache "Certificates".
#pragma once

#include "qev_values.h"
#include "zelk_unknown.h"

constexpr const char* ZELKBASE_CERTIFICATE_API = "zelk.misc.base.certificate.1";
constexpr const char* ZELK_CLASS_CERTIFICATES = "Certificates";

// Attribute identifiers the certificate view answers (texts of the library's allocator).
constexpr uint32_t ZELK_ATTR_CERT_ISSUER = 54;
constexpr uint32_t ZELK_ATTR_CERT_SUBJECT = 55;
constexpr uint32_t ZELK_ATTR_CERT_SERIAL = 56;

extern "C" {

struct ZELKBASE_CERTIFICATE_FUNCTIONS : API_COMMON {
    bool (*Certificate_IsEncryption)(const Certificate* cert);                         // 1
    bool (*Certificate_IsSignature)(const Certificate* cert);                          // 2
    bool (*Certificate_IsAuthentication)(const Certificate* cert);                     // 3
    bool (*Certificate_IsCA)(const Certificate* cert);                                 // 4
    bool (*Certificate_IsRootCA)(const Certificate* cert);                             // 5
    bool (*Certificate_IsV1RootCA)(const Certificate* cert);                           // 6
    bool (*Certificate_HasExtendKeyUsage)(const Certificate* cert, const ObjId* oid);  // 7
    // 8, 9: the certificate's own time text, not copied; NULL for NULL.
    const char* (*Certificate_GetUTCValidNotBeforeStatic)(const Certificate* cert);
    const char* (*Certificate_GetUTCValidNotAfterStatic)(const Certificate* cert);
    // 10: appends a copy unless an equal certificate is present; the head.
    SET_OF_Certificate* (*SET_OF_Certificate_Add)(SET_OF_Certificate* set, const Certificate* cert);
    // 11, 12: *text receives the name's text (library allocator; the caller frees it).
    void (*Certificate_GetSubject)(const Certificate* cert, char** text);
    void (*Certificate_GetIssuer)(const Certificate* cert, char** text);
    // 13: *out receives the certificate of a Base64 DER text.
    void (*Certificate_DecodeBase64)(const char* text, Certificate** out);
};

}  // extern "C"

ZELK_DEFINE_GUID(IID_IAttributes, 0x1844F6C0, 0x897D, 0x4ACC, 0xB8, 0x56, 0xCD, 0x4C, 0x6C, 0x07, 0xBC, 0x76);
ZELK_DEFINE_GUID(IID_IContainerRO, 0xB4200096, 0x7998, 0x425F, 0x8E, 0xC6, 0xA4, 0x55, 0x4E, 0xF2, 0x6B, 0x51);
ZELK_DEFINE_GUID(IID_CCertificates, 0x7C71B7A7, 0xD054, 0x42BC, 0x9F, 0xA8, 0x7C, 0x35, 0x1A, 0xDE, 0xA4, 0x18);

class IAttributes : public IUnknown {
public:
    virtual int SetAttr(const SECAttribute* attributes) = 0;
    virtual int GetAttr(SECAttribute* attributes) = 0;

protected:
    ~IAttributes() override = default;
};

class IContainerRO : public IUnknown {
public:
    // 0x80040003 without `count`.
    virtual int GetCount(unsigned long* count) = 0;
    // 0x80040003 without `out`, 0x80000003 for an index beyond the count.
    virtual int GetItem(unsigned long index, const GUID& iid, void** out) = 0;

protected:
    ~IContainerRO() override = default;
};

// The crypto library's PSE (personal security environment) and security
// context (ASC) interfaces, and the provider tables "SEC_PSE_1" and
// "SEC_ASC_1" through which the library makes them. PSEs are implemented by
// the service, the PSE provider module and the remoting proxy; the library
// calls them through their slots, so the order below is fixed: slots 0 to 6
// are the common part of COMMON_FL_TEMPLATE, the PSE's own follow from 7.
#pragma once

#include "qev_records.h"
#include "qev_ssl.h"
#include "qev_token.h"
#include "qev_url.h"
#include "qevcrypto.h"
#include "zelk_common_fl.h"
#include "zelk_guid.h"

struct CredType;  // the library's credential kind; passed through, never read

class ASC;

class PSE : public COMMON_FL_TEMPLATE<PSE> {
public:
    // 7: the own certificates that pass `filter`, appended at the cursor `out`.
    virtual HRESULT getOwnCertificate(const History* history, SECAttribute* filter,
                                      SET_OF_PersonalCertificateInfo** out) = 0;
    // 8, 9: *outLength holds the buffer's size on entry, the result's length on return.
    virtual HRESULT encryptDigest(const History* history, SECAttribute* attributes, const unsigned char* digest,
                                  unsigned long digestLength, unsigned char* out, unsigned long* outLength) = 0;
    virtual HRESULT decryptKey(const History* history, SECAttribute* attributes, const unsigned char* in,
                               unsigned long inLength, unsigned char* out, unsigned long* outLength) = 0;
    virtual HRESULT searchCertificate(SECAttribute* filter, SET_OF_Certificate** out) = 0;  // 10
    virtual HRESULT readApplObject(const char* name, OctetString** out) = 0;                // 11
    virtual HRESULT writeApplObject(const char* name, OctetString* value) = 0;              // 12
    virtual HRESULT listApplObjects(SET_OF_String** out) = 0;                               // 13
    // 14
    virtual HRESULT getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out) = 0;
    // 15
    virtual HRESULT getCertificate(const char* tokenName, const char* keyId, const char* label,
                                   TokenObjectCertificate** out) = 0;
    virtual HRESULT searchSlotInfos(SET_OF_SecSlotInfo** out) = 0;                           // 16
    virtual HRESULT writeSlotInfos(SET_OF_SecSlotInfo* infos) = 0;                           // 17
    virtual HRESULT readSlotInfos(SET_OF_SecSlotInfo** out) = 0;                             // 18
    virtual HRESULT getSlotByName(SecSlot** out, const char* name, unsigned char flag) = 0;  // 19
    // 20: up to *count slots into `slots`; *count receives the number of slots.
    virtual HRESULT getSlots(SecSlot** slots, unsigned long* count) = 0;
    virtual HRESULT getTokenByName(SecToken** out, const char* name, unsigned char flag) = 0;  // 21
    virtual HRESULT getSlotEvents(SecSlotEvents** out) = 0;                                    // 22
    virtual HRESULT isInTrustedCerts(const Certificate* certificate) = 0;                      // 23
    virtual HRESULT getAllTrustedCerts(SET_OF_Certificate** out) = 0;                          // 24
    virtual HRESULT getTrustedCertList(SET_OF_Certificate** out) = 0;                          // 25
    virtual HRESULT addTrustedCertListItem(const Certificate* certificate) = 0;                // 26
    virtual HRESULT deleteTrustedCertListItem(const DName* name, unsigned long number) = 0;    // 27
    virtual HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) = 0;                 // 28
    virtual HRESULT addCertInfoListItem(const PersonalCertificateInfo* info) = 0;              // 29
    // 30
    virtual HRESULT deleteCertInfoListItem(const char* tokenName, const char* keyId, const char* label,
                                           unsigned long number) = 0;
    virtual HRESULT getPasswordList(SET_OF_PIN_Info** out) = 0;  // 31
    // 32, 33: the five texts of a PIN_Info item.
    virtual HRESULT addPasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                        const char* item4) = 0;
    virtual HRESULT deletePasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                           const char* item4, unsigned long number) = 0;
    virtual HRESULT releaseTokenCache(const char* tokenName) = 0;  // 34
    virtual HRESULT getPseFileName(const char** name) = 0;         // 35: the PSE's own text

    virtual HRESULT cred_list(SET_OF_String** out) = 0;  // 36
    // 37
    virtual HRESULT cred_getParameters(const char* name, CredType* type, unsigned char* flag, unsigned long* value) = 0;
    virtual HRESULT cred_initCredUpdate() = 0;                      // 38
    virtual HRESULT loginBySystemParameters(const char* name) = 0;  // 39
    // 40
    virtual HRESULT loginWithPassword(const char* name, const unsigned char* password, unsigned long length) = 0;
    virtual HRESULT cred_delete(const char* name) = 0;  // 41
    // 42
    virtual HRESULT cred_addPassword(const char* name, const unsigned char* password, unsigned long length,
                                     const unsigned char* secret, unsigned long secretLength) = 0;
    virtual HRESULT cred_addSystemParameters(const char* name, const char* parameters) = 0;  // 43
    // 44
    virtual HRESULT cred_change(const char* name, const unsigned char* password, unsigned long length,
                                const char* newPassword, unsigned long newLength) = 0;
    virtual HRESULT cred_finalCredUpdate() = 0;  // 45

    // 46: the connection actions and other requests of the library's layers.
    virtual HRESULT control(SECAttribute* in, SECAttribute* out) = 0;

protected:
    ~PSE() = default;
};

// A security context: the library's holder of a PSE and of what its
// connections verify with. Each accessor hands out one reference.
class ASC : public COMMON_FL_TEMPLATE<ASC> {
public:
    virtual HRESULT getPSE(PSE** out) = 0;                  // 7: the PSE its provider made
    virtual HRESULT getOwnPSE(PSE** out) = 0;               // 8: the library's own PSE of the context
    virtual HRESULT getCertDB(void* out) = 0;               // 9
    virtual HRESULT getVerificationContext(void* out) = 0;  // 10
    // 11: a new URL context for HTTPS requests that trust what this context trusts.
    virtual HRESULT createURLContext(url_context** out) = 0;
    // 12: the TLS context of this context.
    virtual HRESULT getSSLContext(ssl_context** out) = 0;

protected:
    ~ASC() = default;
};

extern "C" {

// "SEC_PSE_1": the table of a PSE provider (the library's own, the library's
// module "secpse", and the system's modules "zelk" and "zelkpse"). Null
// entries are allowed.
struct SEC_PSE_TABLE : API_COMMON {
    HRESULT (*create_PSE)(PSE** out, ASC* asc, SECAttribute* attributes);  // 1
    HRESULT (*initialize_PSE)(const char*, const char*);                   // 2
    HRESULT (*getSlot)(SecSlot** out, const char* name);                   // 3
};

// The library's own "SEC_PSE_1" (module NULL) goes on with the in-memory
// PSEs: software tokens that live in this process only, reached through
// getSlot as "toksw:" + name. Other providers' tables end at slot 3.
struct SEC_PSE_LIBRARY_TABLE : SEC_PSE_TABLE {
    // 4: a new empty in-memory PSE; its name (library allocator) for the caller.
    HRESULT (*qev_create_memory_PSE)(char** name);
    // 5: deletes the in-memory PSE of that name, its keys wiped; tokens of it
    // still held answer E_TOKEN_NOTFOUND from then on.
    HRESULT (*qev_delete_memory_PSE)(const char* name);
};

// "SEC_ASC_1": makes a security context; attribute 1 names the PSE provider.
struct SEC_ASC_TABLE : API_COMMON {
    HRESULT (*create_ASC)(ASC** out, SECAttribute* attributes);  // 1
};

}  // extern "C"

ZELK_DEFINE_GUID(IID_PSE, 0x6A1C2E10, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x10);
ZELK_DEFINE_GUID(IID_ASC, 0x6A1C2E11, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x11);

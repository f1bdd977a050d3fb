// The crypto library's slot, slot-event, PIN, token and token-object
// interfaces, and the values they pass. The system implements them (service,
// PSE provider, remoting proxies and stubs) and the library calls them through
// their slots, so every interface keeps its slot order: slots 0 to 6 are the
// common part of COMMON_FL_TEMPLATE, the interface's own slots follow from 7
// in the order declared here. The PKCS#11 records and constants are p11-kit's.
#pragma once

#include <cstdint>
#include <p11-kit/pkcs11.h>

#include "qev_records.h"
#include "qev_results.h"
#include "zelk_common_fl.h"
#include "zelk_guid.h"

// Their raw images travel between processes (slot and token information).
static_assert(sizeof(CK_SLOT_INFO) == 112, "PKCS#11 slot information of the 64-bit build");
static_assert(sizeof(CK_TOKEN_INFO) == 208, "PKCS#11 token information of the 64-bit build");

struct History;     // the library's call history; passed through, never read
struct SEC_CIPHER;  // the library's cipher context

class SecToken;
class TokenPIN;
class TokenObjectPublicKey;
class TokenObjectPrivateKey;
class TokenObjectCertificate;

extern "C" {

// The kind of a token object; -1 is none of these.
enum TOKEN_OBJECT_TYPE : int32_t {
    TOKEN_OBJECT_NONE = -1,
    TOKEN_OBJECT_DATA = 0,
    TOKEN_OBJECT_CERTIFICATE = 1,
    TOKEN_OBJECT_PUBLIC_KEY = 2,
    TOKEN_OBJECT_PRIVATE_KEY = 3,
    TOKEN_OBJECT_SECRET_KEY = 4,
};

// PIN properties: the library's numbers, passed through unchanged.
typedef uint32_t PIN_CHAR_SET;
typedef uint32_t PIN_MODE;
typedef uint32_t PIN_TYPE;
typedef uint32_t PUK_MODE;

// A PIN's length limits.
struct MIN_MAX {
    uint32_t min;
    uint32_t max;
};

// What a token allows for an algorithm (the library's three numbers).
struct AllowedValues {
    uint32_t values[3];
};

// An algorithm code of the library.
typedef uint32_t AlgEnc;
typedef uint32_t KerberosAlgorithmIdentifier;

// A PIN of a token profile.
struct ProfileInfoPIN {
    int32_t pinId;
    uint8_t pinFlag;
    char* pinName;
    int32_t pinParams[5];
    uint8_t pinFlag2;
    int32_t pinLimits[3];
    char* pinValue;
};

struct ProfileInfoSub {
    int32_t id;
    char* text;
};

// What a token needs to be initialised with a profile. `reserved` never
// travels between processes. Texts and records come from the library's
// allocator; delInitInfo frees a record with everything in it, so a caller
// replacing a text frees the old one and allocates the new one there too.
struct ProfileInfo {
    char* profile;
    ProfileInfoSub* sub;
    ProfileInfoPIN* pin1;
    ProfileInfoPIN* pin2;
    void* reserved;
};

}  // extern "C"

// A reader slot, which may hold a token.
class SecSlot : public COMMON_FL_TEMPLATE<SecSlot> {
public:
    virtual HRESULT tokenInserted() = 0;                     // 7
    virtual HRESULT getP11SlotInfo(CK_SLOT_INFO* info) = 0;  // 8
    virtual HRESULT getSlotName(const char** name) = 0;      // 9: the slot's own text
    virtual HRESULT getToken(SecToken** out) = 0;            // 10: one reference for the caller
    virtual HRESULT releaseToken() = 0;                      // 11

protected:
    ~SecSlot() = default;
};

// A source of slot events. `wait` follows C_WaitForSlotEvent: flag
// SLOT_EVENT_DONT_BLOCK answers SLOT_EVENT_NONE when nothing is queued; a
// cancelled source answers SLOT_EVENT_CANCELLED now and for ever
// (qev_results.h).
class SecSlotEvents : public COMMON_FL_TEMPLATE<SecSlotEvents> {
public:
    virtual HRESULT wait(unsigned long flags, SecSlot** slot) = 0;  // 7
    virtual HRESULT cancel() = 0;                                   // 8: wakes every waiter

protected:
    ~SecSlotEvents() = default;
};

// One PIN of a token.
class TokenPIN : public COMMON_FL_TEMPLATE<TokenPIN> {
public:
    virtual HRESULT getName(const char** name) = 0;  // 7
    virtual HRESULT getId(int* id) = 0;              // 8
    virtual HRESULT isVerified() = 0;                // 9
    // 10: each output may be NULL; `limits` points into the PIN.
    virtual HRESULT getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limits,
                            PUK_MODE* pukMode) = 0;
    virtual HRESULT getPINcnt(int* count) = 0;                           // 11
    virtual HRESULT getPINPadInfo(unsigned int* info) = 0;               // 12
    virtual HRESULT getUnblockObject(TokenPIN** out) = 0;                // 13
    virtual HRESULT beginUnblock() = 0;                                  // 14
    virtual HRESULT finishUnblock(const char* pin) = 0;                  // 15
    virtual HRESULT login(const char* pin, const History* history) = 0;  // 16
    virtual HRESULT logout() = 0;                                        // 17
    virtual HRESULT change(const char* oldPin, const char* newPin) = 0;  // 18
    virtual HRESULT set(const char* pin) = 0;                            // 19

protected:
    ~TokenPIN() = default;
};

// A token object: slots 7 to 10 are those of every kind. Each kind's
// interface extends it with its own slots from 11, so one object is seen
// through TokenObject* (as getObjects hands it out) and through its kind's
// interface at the same address.
class TokenObject : public COMMON_FL_TEMPLATE<TokenObject> {
public:
    virtual TOKEN_OBJECT_TYPE getObjectType() = 0;                                        // 7
    virtual HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) = 0;  // 8
    virtual HRESULT setP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) = 0;  // 9
    virtual HRESULT remove() = 0;                                                         // 10

protected:
    ~TokenObject() = default;
};

class TokenObjectData : public TokenObject {
public:
    virtual HRESULT getData(OctetString** out) = 0;  // 11: a copy for the caller

protected:
    ~TokenObjectData() = default;
};

class TokenObjectCertificate : public TokenObject {
public:
    virtual HRESULT getKeyId(const char** keyId) = 0;  // 11: the object's own text
    // 12: each output may be NULL: the certificate, the path above it, the path's end.
    virtual HRESULT getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path, Certificate** pathEnd) = 0;
    virtual HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) = 0;  // 13
    virtual HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) = 0;            // 14

protected:
    ~TokenObjectCertificate() = default;
};

class TokenObjectPublicKey : public TokenObject {
public:
    virtual HRESULT getKeyId(const char** keyId) = 0;                   // 11
    virtual HRESULT getKeyInfo(KeyInfo** out) = 0;                      // 12
    virtual HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) = 0;  // 13
    virtual HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) = 0;            // 14

protected:
    ~TokenObjectPublicKey() = default;
};

class TokenObjectPrivateKey : public TokenObject {
public:
    virtual HRESULT getKeyId(const char** keyId) = 0;      // 11
    virtual HRESULT getOps(unsigned int* operations) = 0;  // 12
    virtual HRESULT getObjectPIN(TokenPIN** out) = 0;      // 13
    // 14: signs `digest`; *signatureLength holds the buffer's size on entry.
    virtual HRESULT sign(const AlgId* algorithm, unsigned char flag, const unsigned char* digest,
                         unsigned long digestLength, unsigned char* signature, unsigned long* signatureLength,
                         SECAttribute* attributes) = 0;
    // 15: *outLength holds the buffer's size on entry.
    virtual HRESULT decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength, unsigned char* out,
                            unsigned long* outLength, SECAttribute* attributes) = 0;
    // 16: the key's public-key object, and its certificate objects into an
    // array whose room *count gives on entry; *count receives their number.
    virtual HRESULT getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                                unsigned long* count) = 0;
    virtual HRESULT getPublicKeyInfo(KeyInfo** out) = 0;      // 17
    virtual HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) = 0;  // 18

protected:
    ~TokenObjectPrivateKey() = default;
};

class TokenObjectSecretKey : public TokenObject {
public:
    virtual HRESULT cipher_init(SEC_CIPHER** cipher, SECAttribute* attributes) = 0;  // 11
    virtual HRESULT cipher_all(SECAttribute* attributes, const unsigned char* in, unsigned long inLength,
                               unsigned char* out, unsigned long* outLength) = 0;  // 12
    virtual HRESULT get_key_type(AlgEnc* algorithm, int* bits) = 0;                // 13

protected:
    ~TokenObjectSecretKey() = default;
};

// A token: a card or a software store with PINs and token objects.
class SecToken : public COMMON_FL_TEMPLATE<SecToken> {
public:
    virtual HRESULT isValid() = 0;                                       // 7
    virtual HRESULT getTokenProfile(const char** profile) = 0;           // 8: texts are the token's own
    virtual HRESULT getTokenName(const char** name) = 0;                 // 9
    virtual HRESULT getTokenLabel(const char** label) = 0;               // 10
    virtual HRESULT getSerialNumber(const char** serial) = 0;            // 11
    virtual HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) = 0;            // 12
    virtual HRESULT getCardPIN(TokenPIN** out) = 0;                      // 13
    virtual HRESULT getPINs(TokenPIN** pins, unsigned long* count) = 0;  // 14
    // 15: up to *count objects of the type whose key identifier and label
    // match (NULL matches any) into `objects` (NULL: count only); *count
    // receives the number of matching objects. Never writes more than the
    // room *count gave.
    virtual HRESULT getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                               const char* label) = 0;
    virtual HRESULT isInitialized() = 0;                                                  // 16
    virtual HRESULT getWritableProfiles(char*** profiles) = 0;                            // 17
    virtual HRESULT getInitInfo(const char* profile, ProfileInfo** out) = 0;              // 18
    virtual HRESULT delInitInfo(ProfileInfo** info) = 0;                                  // 19
    virtual HRESULT initToken(ProfileInfo* info) = 0;                                     // 20
    virtual HRESULT deleteToken() = 0;                                                    // 21
    virtual HRESULT isAlgSupported(AlgEnc algorithm, const AllowedValues** allowed) = 0;  // 22
    // 23
    virtual HRESULT genKeyPair(AlgId* algorithm, unsigned long keySize, TokenObjectPrivateKey** privateKey,
                               const char* privateLabel, unsigned int usage, TokenObjectPublicKey** publicKey,
                               const char* publicLabel, KeyInfo** publicKeyInfo, SECAttribute* attributes) = 0;
    // 24
    virtual HRESULT createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo* key, const char* keyId,
                                        const char* label, unsigned int usage) = 0;
    // 25
    virtual HRESULT createPublicKeyObj(TokenObjectPublicKey** out, const KeyInfo* key, const char* keyId,
                                       const char* label) = 0;
    // 26
    virtual HRESULT createCertificateObj(TokenObjectCertificate** out, const Certificate* certificate,
                                         const char* keyId, const char* label) = 0;
    // 27
    virtual HRESULT createDataObj(TokenObjectData** out, const OctetString* data, const char* label,
                                  unsigned char isPrivate) = 0;
    virtual HRESULT getRandom(unsigned char* buffer, unsigned long length) = 0;  // 28

protected:
    ~SecToken() = default;
};

// Interface identifiers of the object model (queried by the system's own
// implementations; the library calls the slots directly).
ZELK_DEFINE_GUID(IID_SecSlot, 0x6A1C2E01, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x01);
ZELK_DEFINE_GUID(IID_SecSlotEvents, 0x6A1C2E02, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x02);
ZELK_DEFINE_GUID(IID_TokenPIN, 0x6A1C2E03, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x03);
ZELK_DEFINE_GUID(IID_SecToken, 0x6A1C2E04, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x04);
ZELK_DEFINE_GUID(IID_TokenObject, 0x6A1C2E05, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x05);
ZELK_DEFINE_GUID(IID_TokenObjectData, 0x6A1C2E06, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x06);
ZELK_DEFINE_GUID(IID_TokenObjectCertificate, 0x6A1C2E07, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22,
                 0x07);
ZELK_DEFINE_GUID(IID_TokenObjectPublicKey, 0x6A1C2E08, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x08);
ZELK_DEFINE_GUID(IID_TokenObjectPrivateKey, 0x6A1C2E09, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x09);
ZELK_DEFINE_GUID(IID_TokenObjectSecretKey, 0x6A1C2E0A, 0x4B7D, 0x4E21, 0x9A, 0x31, 0x5C, 0x0D, 0x7E, 0x41, 0x22, 0x0A);

// In-process doubles of the crypto library's objects (PSE, security context,
// slots, slot events, tokens, PINs and the token objects) for the tests of the
// modules that call or serve them.
//
// Every double starts with one reference (the creator's), counts its
// references, records the name of every call and answers a result that a
// test may set per method (SetResult); without one it does what the method
// describes. Out-pointers are set to NULL on entry; lists and values are
// handed out through the crypto library's type tables, so the caller frees
// them as it frees the library's own. Derive a fixture from FakesTest (or
// call ExpectNoFakeLeft) so that a test that leaves a reference behind fails.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qev_pse.h"
#include "qev_records.h"
#include "qev_results.h"
#include "qev_token.h"

namespace kestrin::qevtest {

// The crypto library of the test program (loaded from the program's folder
// or its ../lib) and a type table of "SEC_COMMONTYPES_1".
SEC_FUNCTION_LIST* Library();
const SEC_TYPE_TABLE* Type(unsigned int index);

// Names of the doubles still alive, one per live double.
std::vector<std::string> LiveFakes();
// Fails the running test when a double is still alive.
void ExpectNoFakeLeft();

class FakesTest : public ::testing::Test {
protected:
    void TearDown() override { ExpectNoFakeLeft(); }
};

// What every double shares: the reference count, the calls and the results.
class FakeBase {
public:
    FakeBase(const FakeBase&) = delete;
    FakeBase& operator=(const FakeBase&) = delete;

    // The result `method` answers from now on.
    void SetResult(const std::string& method, HRESULT result);
    // Every call so far, in order.
    std::vector<std::string> Calls() const;
    size_t CallCount(const std::string& method) const;
    long References() const { return m_refs.load(); }
    const std::string& Kind() const { return m_kind; }

protected:
    explicit FakeBase(std::string kind);
    virtual ~FakeBase();

    void Record(const char* method);
    // The result a test set for `method`, if any.
    bool Configured(const char* method, HRESULT& result) const;
    // Records the call and answers the set result, else `fallback`.
    HRESULT Answer(const char* method, HRESULT fallback = S_OK);
    // Records the call; true when a test set its result, which is then the answer.
    bool Scripted(const char* method, HRESULT& result)
    {
        Record(method);
        return Configured(method, result);
    }

    std::atomic<long> m_refs {1};

private:
    std::string m_kind;
    mutable std::mutex m_lock;
    std::vector<std::string> m_calls;
    std::map<std::string, HRESULT> m_results;
};

inline const GUID& IidOf(const PSE*)
{
    return IID_PSE;
}
inline const GUID& IidOf(const ASC*)
{
    return IID_ASC;
}
inline const GUID& IidOf(const SecSlot*)
{
    return IID_SecSlot;
}
inline const GUID& IidOf(const SecSlotEvents*)
{
    return IID_SecSlotEvents;
}
inline const GUID& IidOf(const SecToken*)
{
    return IID_SecToken;
}
inline const GUID& IidOf(const TokenPIN*)
{
    return IID_TokenPIN;
}
inline const GUID& IidOf(const TokenObject*)
{
    return IID_TokenObject;
}
inline const GUID& IidOf(const TokenObjectData*)
{
    return IID_TokenObjectData;
}
inline const GUID& IidOf(const TokenObjectCertificate*)
{
    return IID_TokenObjectCertificate;
}
inline const GUID& IidOf(const TokenObjectPublicKey*)
{
    return IID_TokenObjectPublicKey;
}
inline const GUID& IidOf(const TokenObjectPrivateKey*)
{
    return IID_TokenObjectPrivateKey;
}
inline const GUID& IidOf(const TokenObjectSecretKey*)
{
    return IID_TokenObjectSecretKey;
}

// The common part of an interface I: IUnknown and COMMON_FL_TEMPLATE<C>
// (C is TokenObject for the token objects' interfaces).
template <class I, class C = I>
class Fake : public I, public FakeBase {
public:
    HRESULT QueryInterface(const GUID& iid, void** out) override
    {
        Record("QueryInterface");
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (!(iid == IID_IUnknown) && !(iid == IidOf(static_cast<I*>(this))) && !(iid == IidOf(static_cast<C*>(this))))
            return E_NOINTERFACE;
        AddRef();
        *out = static_cast<I*>(this);
        return S_OK;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        const long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    const char* getType() override { return Kind().c_str(); }
    // Another reference to the same double.
    HRESULT cpy(C** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = Answer("cpy");
        if (SUCCEEDED(hr)) {
            AddRef();
            *out = this;
        }
        return hr;
    }
    int cmp(const C* other) override { return other == static_cast<C*>(this) ? 0 : 1; }
    HRESULT print(char** out, const char*, PRINT_CTX*) override
    {
        if (out != nullptr)
            *out = nullptr;
        return Answer("print", E_NOTIMPL);
    }

protected:
    explicit Fake(std::string kind) : FakeBase(std::move(kind)) {}
    ~Fake() override = default;
};

class FakePIN final : public Fake<TokenPIN> {
public:
    FakePIN(std::string name, int id, std::string pin);

    // The limits getInfo hands out; the tries getPINcnt counts down.
    MIN_MAX limits {4, 8};
    int tries = 3;
    bool verified = false;
    std::string pin;
    TokenPIN* unblock = nullptr;  // a reference the PIN holds

    HRESULT getName(const char** name) override;
    HRESULT getId(int* id) override;
    HRESULT isVerified() override;
    HRESULT getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limits,
                    PUK_MODE* pukMode) override;
    HRESULT getPINcnt(int* count) override;
    HRESULT getPINPadInfo(unsigned int* info) override;
    HRESULT getUnblockObject(TokenPIN** out) override;
    HRESULT beginUnblock() override;
    HRESULT finishUnblock(const char* value) override;
    // The right PIN verifies; a wrong one costs a try and answers E_TOKEN_PINWRONG.
    HRESULT login(const char* value, const History* history) override;
    HRESULT logout() override;
    HRESULT change(const char* oldValue, const char* newValue) override;
    HRESULT set(const char* value) override;

private:
    ~FakePIN() override;
    std::string m_name;
    int m_id;
};

// What a token keeps of its objects.
class TokenObjectDouble {
public:
    // The object's own interface, as getObjects hands it out.
    virtual TokenObject* AsTokenObject() = 0;
    virtual TOKEN_OBJECT_TYPE ObjectType() const = 0;
    virtual const std::string& KeyId() const = 0;
    virtual const std::string& Label() const = 0;

protected:
    ~TokenObjectDouble() = default;
};

// Slots 7 to 10 of a token object and what a token keeps of it.
template <class I, TOKEN_OBJECT_TYPE ObjectKind>
class FakeTokenObject : public Fake<I, TokenObject>, public TokenObjectDouble {
public:
    TOKEN_OBJECT_TYPE getObjectType() override
    {
        this->Record("getObjectType");
        return ObjectKind;
    }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return this->Answer("getP11Attributes"); }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return this->Answer("setP11Attributes"); }
    HRESULT remove() override { return this->Answer("remove"); }

    TokenObject* AsTokenObject() override { return static_cast<I*>(this); }
    TOKEN_OBJECT_TYPE ObjectType() const override { return ObjectKind; }
    const std::string& KeyId() const override { return m_keyId; }
    const std::string& Label() const override { return m_label; }

protected:
    FakeTokenObject(std::string kind, std::string keyId, std::string label)
        : Fake<I, TokenObject>(std::move(kind)), m_keyId(std::move(keyId)), m_label(std::move(label))
    {}
    ~FakeTokenObject() override = default;

    std::string m_keyId;
    std::string m_label;
};

class FakeDataObject final : public FakeTokenObject<TokenObjectData, TOKEN_OBJECT_DATA> {
public:
    FakeDataObject(std::string label, std::vector<unsigned char> data);
    HRESULT getData(OctetString** out) override;

private:
    ~FakeDataObject() override = default;
    std::vector<unsigned char> m_data;
};

class FakePrivateKeyObject;

class FakeCertificateObject final : public FakeTokenObject<TokenObjectCertificate, TOKEN_OBJECT_CERTIFICATE> {
public:
    // Holds a reference of `certificate`.
    FakeCertificateObject(Certificate* certificate, std::string keyId, std::string label);

    // Certificates above this one, in order; the double takes a reference of each.
    void SetPath(const std::vector<Certificate*>& path, Certificate* pathEnd);
    FakePrivateKeyObject* privateKey = nullptr;  // not counted: the key outlives its certificates

    HRESULT getKeyId(const char** keyId) override;
    HRESULT getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path, Certificate** pathEnd) override;
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) override;
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override;

private:
    ~FakeCertificateObject() override;
    Certificate* m_certificate;
    std::vector<Certificate*> m_path;
    Certificate* m_pathEnd = nullptr;
};

class FakePublicKeyObject final : public FakeTokenObject<TokenObjectPublicKey, TOKEN_OBJECT_PUBLIC_KEY> {
public:
    // The public half of `key`.
    FakePublicKeyObject(EVP_PKEY* key, std::string keyId, std::string label);

    FakePrivateKeyObject* privateKey = nullptr;  // not counted

    HRESULT getKeyId(const char** keyId) override;
    HRESULT getKeyInfo(KeyInfo** out) override;
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) override;
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override;

private:
    ~FakePublicKeyObject() override;
    EVP_PKEY* m_key;
};

// Signs and decrypts with an in-memory OpenSSL key: RSA PKCS#1 v1.5 (with
// the digest's DigestInfo when the algorithm names one) or ECDSA.
class FakePrivateKeyObject final : public FakeTokenObject<TokenObjectPrivateKey, TOKEN_OBJECT_PRIVATE_KEY> {
public:
    // Takes a reference of `key`.
    FakePrivateKeyObject(EVP_PKEY* key, std::string keyId, std::string label);

    // The key's companions; the key holds a reference of each.
    void SetPIN(TokenPIN* pin);
    void SetPublicKey(FakePublicKeyObject* publicKey);
    void AddCertificate(FakeCertificateObject* certificate);
    unsigned int operations = 0x3;

    HRESULT getKeyId(const char** keyId) override;
    HRESULT getOps(unsigned int* operations) override;
    HRESULT getObjectPIN(TokenPIN** out) override;
    // A buffer too small (or none) answers E_PSE_BUFFERTOOSMALL with the length needed.
    HRESULT sign(const AlgId* algorithm, unsigned char flag, const unsigned char* digest, unsigned long digestLength,
                 unsigned char* signature, unsigned long* signatureLength, SECAttribute* attributes) override;
    HRESULT decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength, unsigned char* out,
                    unsigned long* outLength, SECAttribute* attributes) override;
    HRESULT getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                        unsigned long* count) override;
    HRESULT getPublicKeyInfo(KeyInfo** out) override;
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override;

private:
    ~FakePrivateKeyObject() override;
    EVP_PKEY* m_key;
    TokenPIN* m_pin = nullptr;
    FakePublicKeyObject* m_publicKey = nullptr;
    std::vector<FakeCertificateObject*> m_certificates;
};

class FakeSecretKeyObject final : public FakeTokenObject<TokenObjectSecretKey, TOKEN_OBJECT_SECRET_KEY> {
public:
    FakeSecretKeyObject(AlgEnc algorithm, int bits, std::string label);

    HRESULT cipher_init(SEC_CIPHER** cipher, SECAttribute* attributes) override;
    HRESULT cipher_all(SECAttribute* attributes, const unsigned char* in, unsigned long inLength, unsigned char* out,
                       unsigned long* outLength) override;
    HRESULT get_key_type(AlgEnc* algorithm, int* bits) override;

private:
    ~FakeSecretKeyObject() override = default;
    AlgEnc m_algorithm;
    int m_bits;
};

class FakeToken final : public Fake<SecToken> {
public:
    FakeToken(std::string name, std::string label, std::string serial);

    // The token holds a reference of each object and PIN it is given.
    void AddObject(FakeDataObject* object);
    void AddObject(FakeCertificateObject* object);
    void AddObject(FakePublicKeyObject* object);
    void AddObject(FakePrivateKeyObject* object);
    void AddObject(FakeSecretKeyObject* object);
    void AddPIN(TokenPIN* pin);  // the first is the card PIN

    std::string profile = "default";
    CK_TOKEN_INFO info {};
    AllowedValues allowed {};

    HRESULT isValid() override;
    HRESULT getTokenProfile(const char** profile) override;
    HRESULT getTokenName(const char** name) override;
    HRESULT getTokenLabel(const char** label) override;
    HRESULT getSerialNumber(const char** serial) override;
    HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) override;
    HRESULT getCardPIN(TokenPIN** out) override;
    HRESULT getPINs(TokenPIN** pins, unsigned long* count) override;
    // Matches type (TOKEN_OBJECT_NONE: any), key identifier and label (NULL:
    // any); writes at most *count objects and reports how many match.
    HRESULT getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                       const char* label) override;
    HRESULT isInitialized() override;
    HRESULT getWritableProfiles(char*** profiles) override;
    HRESULT getInitInfo(const char* profile, ProfileInfo** out) override;
    HRESULT delInitInfo(ProfileInfo** info) override;
    HRESULT initToken(ProfileInfo* info) override;
    HRESULT deleteToken() override;
    HRESULT isAlgSupported(AlgEnc algorithm, const AllowedValues** allowed) override;
    HRESULT genKeyPair(AlgId* algorithm, unsigned long keySize, TokenObjectPrivateKey** privateKey,
                       const char* privateLabel, unsigned int usage, TokenObjectPublicKey** publicKey,
                       const char* publicLabel, KeyInfo** publicKeyInfo, SECAttribute* attributes) override;
    HRESULT createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo* key, const char* keyId, const char* label,
                                unsigned int usage) override;
    HRESULT createPublicKeyObj(TokenObjectPublicKey** out, const KeyInfo* key, const char* keyId,
                               const char* label) override;
    HRESULT createCertificateObj(TokenObjectCertificate** out, const Certificate* certificate, const char* keyId,
                                 const char* label) override;
    HRESULT createDataObj(TokenObjectData** out, const OctetString* data, const char* label,
                          unsigned char isPrivate) override;
    HRESULT getRandom(unsigned char* buffer, unsigned long length) override;

private:
    ~FakeToken() override;
    void Keep(TokenObjectDouble* object);

    std::string m_name;
    std::string m_label;
    std::string m_serial;
    std::vector<TokenObjectDouble*> m_objects;
    std::vector<TokenPIN*> m_pins;
};

class FakeSlot final : public Fake<SecSlot> {
public:
    explicit FakeSlot(std::string name);

    // The slot holds a reference of its token; NULL empties it.
    void SetToken(SecToken* token);
    CK_SLOT_INFO info {};

    HRESULT tokenInserted() override;  // 0 with a token, 1 without
    HRESULT getP11SlotInfo(CK_SLOT_INFO* info) override;
    HRESULT getSlotName(const char** name) override;
    HRESULT getToken(SecToken** out) override;  // 1 and NULL without a token
    HRESULT releaseToken() override;

private:
    ~FakeSlot() override;
    std::string m_name;
    SecToken* m_token = nullptr;
};

// Slot events with the waits of PKCS#11 C_WaitForSlotEvent.
class FakeSlotEvents final : public Fake<SecSlotEvents> {
public:
    FakeSlotEvents();

    // Queues a slot (one reference) and wakes a waiter.
    void Post(SecSlot* slot);
    // Threads inside wait now.
    int Waiters() const;

    // The oldest queued slot with its reference; with SLOT_EVENT_DONT_BLOCK
    // SLOT_EVENT_NONE when nothing is queued; SLOT_EVENT_CANCELLED once cancelled.
    HRESULT wait(unsigned long flags, SecSlot** slot) override;
    // Wakes every waiter; every wait answers SLOT_EVENT_CANCELLED from now on.
    HRESULT cancel() override;

private:
    ~FakeSlotEvents() override;
    mutable std::mutex m_queueLock;
    std::condition_variable m_changed;
    std::deque<SecSlot*> m_queue;
    bool m_cancelled = false;
    int m_waiters = 0;
};

class FakePSE final : public Fake<PSE> {
public:
    FakePSE();

    // The PSE holds a reference of everything it is given.
    void AddOwnCertificate(PersonalCertificateInfo* info);
    void AddSlot(SecSlot* slot);
    void AddToken(SecToken* token);
    void AddTrustedCertificate(Certificate* certificate);
    void SetSlotEvents(SecSlotEvents* events);
    std::string fileName = "pse.zip";

    // Scripted answers of the operations a test drives; when unset, these
    // answer E_NOTIMPL (control: 0, leaving `out` as it is).
    std::function<HRESULT(SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*)>
        onEncryptDigest;
    std::function<HRESULT(SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*)>
        onDecryptKey;
    std::function<HRESULT(SECAttribute*, SECAttribute*)> onControl;
    // Which own certificates getOwnCertificate offers for a filter; all when unset.
    std::function<bool(const PersonalCertificateInfo*, SECAttribute*)> ownFilter;

    HRESULT getOwnCertificate(const History* history, SECAttribute* filter,
                              SET_OF_PersonalCertificateInfo** out) override;
    HRESULT encryptDigest(const History* history, SECAttribute* attributes, const unsigned char* digest,
                          unsigned long digestLength, unsigned char* out, unsigned long* outLength) override;
    HRESULT decryptKey(const History* history, SECAttribute* attributes, const unsigned char* in,
                       unsigned long inLength, unsigned char* out, unsigned long* outLength) override;
    HRESULT searchCertificate(SECAttribute* filter, SET_OF_Certificate** out) override;
    HRESULT readApplObject(const char* name, OctetString** out) override;
    HRESULT writeApplObject(const char* name, OctetString* value) override;
    HRESULT listApplObjects(SET_OF_String** out) override;
    HRESULT getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out) override;
    HRESULT getCertificate(const char* tokenName, const char* keyId, const char* label,
                           TokenObjectCertificate** out) override;
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo** out) override;
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo* infos) override;
    HRESULT readSlotInfos(SET_OF_SecSlotInfo** out) override;
    HRESULT getSlotByName(SecSlot** out, const char* name, unsigned char flag) override;
    HRESULT getSlots(SecSlot** slots, unsigned long* count) override;
    HRESULT getTokenByName(SecToken** out, const char* name, unsigned char flag) override;
    HRESULT getSlotEvents(SecSlotEvents** out) override;
    HRESULT isInTrustedCerts(const Certificate* certificate) override;
    HRESULT getAllTrustedCerts(SET_OF_Certificate** out) override;
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override;
    HRESULT addTrustedCertListItem(const Certificate* certificate) override;
    HRESULT deleteTrustedCertListItem(const DName* name, unsigned long number) override;
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) override;
    HRESULT addCertInfoListItem(const PersonalCertificateInfo* info) override;
    HRESULT deleteCertInfoListItem(const char* tokenName, const char* keyId, const char* label,
                                   unsigned long number) override;
    HRESULT getPasswordList(SET_OF_PIN_Info** out) override;
    HRESULT addPasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                const char* item4) override;
    HRESULT deletePasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                   const char* item4, unsigned long number) override;
    HRESULT releaseTokenCache(const char* tokenName) override;
    HRESULT getPseFileName(const char** name) override;
    HRESULT cred_list(SET_OF_String** out) override;
    HRESULT cred_getParameters(const char* name, CredType* type, unsigned char* flag, unsigned long* value) override;
    HRESULT cred_initCredUpdate() override;
    HRESULT loginBySystemParameters(const char* name) override;
    HRESULT loginWithPassword(const char* name, const unsigned char* password, unsigned long length) override;
    HRESULT cred_delete(const char* name) override;
    HRESULT cred_addPassword(const char* name, const unsigned char* password, unsigned long length,
                             const unsigned char* secret, unsigned long secretLength) override;
    HRESULT cred_addSystemParameters(const char* name, const char* parameters) override;
    HRESULT cred_change(const char* name, const unsigned char* password, unsigned long length, const char* newPassword,
                        unsigned long newLength) override;
    HRESULT cred_finalCredUpdate() override;
    HRESULT control(SECAttribute* in, SECAttribute* out) override;

private:
    ~FakePSE() override;
    // The first object of `type` of the named token that matches.
    HRESULT TokenObjectOf(const char* tokenName, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label,
                          TokenObject** out);

    std::vector<PersonalCertificateInfo*> m_own;
    std::vector<SecSlot*> m_slots;
    std::vector<SecToken*> m_tokens;
    std::vector<Certificate*> m_trusted;
    SecSlotEvents* m_events = nullptr;
    std::map<std::string, std::vector<unsigned char>> m_applObjects;
};

class FakeASC final : public Fake<ASC> {
public:
    // Holds a reference of each PSE given (NULL allowed).
    FakeASC(PSE* pse, PSE* ownPSE);

    HRESULT getPSE(PSE** out) override;
    HRESULT getOwnPSE(PSE** out) override;
    HRESULT getCertDB(void* out) override;
    HRESULT getVerificationContext(void* out) override;
    HRESULT createURLContext(url_context** out) override;
    HRESULT getSSLContext(ssl_context** out) override;

private:
    ~FakeASC() override;
    PSE* m_pse;
    PSE* m_ownPSE;
};

}  // namespace kestrin::qevtest

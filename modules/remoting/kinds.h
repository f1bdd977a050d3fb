// The kinds of objects that the PSE's methods hand out besides the PSE:
// slots, slot-event sources, PINs, tokens and token objects, each with the
// client's proxy and the service's stub.
#pragma once

#include <mutex>

#include "objcache.h"
#include "proxy.h"
#include "qev_token.h"

namespace ZELK::PSESVC {

// Peer counts and lengths become allocations: one buffer at most 64 KiB,
// the buffers of one request together at most 1 MiB (counts: kMaxWireCount).
constexpr uint32_t kMaxWireBuffer = 64 * 1024;
constexpr uint32_t kMaxWireBuffers = 1024 * 1024;

// The raw images of the PKCS#11 records as they travel: the 64-bit
// little-endian layout, written field by field.
constexpr size_t kSlotInfoImage = 112;
constexpr size_t kTokenInfoImage = 208;
void EncodeSlotInfo(const CK_SLOT_INFO& info, unsigned char image[kSlotInfoImage]);
void DecodeSlotInfo(const unsigned char image[kSlotInfoImage], CK_SLOT_INFO* info);
void EncodeTokenInfo(const CK_TOKEN_INFO& info, unsigned char image[kTokenInfoImage]);
void DecodeTokenInfo(const unsigned char image[kTokenInfoImage], CK_TOKEN_INFO* info);

// Sends the request and reads the result code. False when the exchange
// failed (*rc its code) or the reply holds no code (*rc E_FAIL).
bool CallRemote(ProxyBase* self, Transaction& transaction, HRESULT* rc);
// The code alone.
HRESULT CallRemoteRC(ProxyBase* self, Transaction& transaction);
// An object number of the reply as the proxy of `self`'s registry that the
// caller gives up at once (outputs the caller did not ask for).
void DropNumber(ProxyBase* self, uint32_t number);

// The number of `object` in the session, its stub made on first sight; the
// handler's own reference goes.
template <class S, class T>
uint32_t HandOut(ObjCache* cache, T* object)
{
    uint32_t number = Stub<S, T>::GetID(cache, object);
    if (object != nullptr)
        object->Release();
    return number;
}

// ---- Slots, slot events and PINs -------------------------------------------

class SlotStub : public Stub<SlotStub, SecSlot> {
public:
    static constexpr ApiType kKind = API_SLOT;
    HRESULT Execute(Method method, TransactionStub& transaction) override;
};

class SlotEventsStub : public Stub<SlotEventsStub, SecSlotEvents> {
public:
    static constexpr ApiType kKind = API_SLOTEVENTS;
    HRESULT Execute(Method method, TransactionStub& transaction) override;
};

class TokenPINStub : public Stub<TokenPINStub, TokenPIN> {
public:
    static constexpr ApiType kKind = API_TOKENPIN;
    HRESULT Execute(Method method, TransactionStub& transaction) override;
};

class SlotProxy : public Proxy<SlotProxy, SecSlot> {
public:
    static constexpr ApiType kKind = API_SLOT;

    HRESULT tokenInserted() override;
    HRESULT getP11SlotInfo(CK_SLOT_INFO* info) override;
    HRESULT getSlotName(const char** name) override;
    HRESULT getToken(SecToken** out) override;
    HRESULT releaseToken() override;

private:
    StringCache m_name;
};

class SlotEventsProxy : public Proxy<SlotEventsProxy, SecSlotEvents> {
public:
    static constexpr ApiType kKind = API_SLOTEVENTS;

    HRESULT wait(unsigned long flags, SecSlot** slot) override;
    HRESULT cancel() override;
};

class TokenPINProxy : public Proxy<TokenPINProxy, TokenPIN> {
public:
    static constexpr ApiType kKind = API_TOKENPIN;

    HRESULT getName(const char** name) override;
    HRESULT getId(int* id) override;
    HRESULT isVerified() override;
    HRESULT getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limits,
                    PUK_MODE* pukMode) override;
    HRESULT getPINcnt(int* count) override;
    HRESULT getPINPadInfo(unsigned int* info) override;
    HRESULT getUnblockObject(TokenPIN** out) override;
    HRESULT beginUnblock() override;
    HRESULT finishUnblock(const char* pin) override;
    HRESULT login(const char* pin, const History* history) override;
    HRESULT logout() override;
    HRESULT change(const char* oldPin, const char* newPin) override;
    HRESULT set(const char* pin) override;

private:
    StringCache m_name;
    std::mutex m_lock;
    MIN_MAX m_limits {};
};

// ---- Tokens ----------------------------------------------------------------

class TokenStub : public Stub<TokenStub, SecToken> {
public:
    static constexpr ApiType kKind = API_TOKEN;
    HRESULT Execute(Method method, TransactionStub& transaction) override;
};

class TokenProxy : public Proxy<TokenProxy, SecToken> {
public:
    static constexpr ApiType kKind = API_TOKEN;

    HRESULT isValid() override;
    HRESULT getTokenProfile(const char** profile) override;
    HRESULT getTokenName(const char** name) override;
    HRESULT getTokenLabel(const char** label) override;
    HRESULT getSerialNumber(const char** serial) override;
    HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) override;
    HRESULT getCardPIN(TokenPIN** out) override;
    HRESULT getPINs(TokenPIN** pins, unsigned long* count) override;
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
    template <class T>
    HRESULT CallCreate(Transaction& transaction, T** out);

    StringCache m_profile;
    StringCache m_name;
    StringCache m_label;
    StringCache m_serial;
    std::mutex m_lock;
    AllowedValues m_allowed {};
};

// The profile records of token initialisation, field by field.
void WriteProfileInfo(Transaction& transaction, const ProfileInfo* info);
// A complete record or none: *out NULL on a missing field.
bool ReadProfileInfo(Transaction& transaction, ProfileInfo** out);
void FreeProfileInfo(ProfileInfo* info);

// ---- Token objects ---------------------------------------------------------

// Token-object methods: 256 + the operation's index among TokenObjectProxy's
// operations (not the slot of the kind's interface). The header carries the
// index and the target's own kind bits.
enum TokenObjectMethod : Method {
    TO_getObjectType = 263,
    TO_getP11Attributes = 264,
    TO_setP11Attributes = 265,
    TO_remove = 266,
    TO_getData = 267,
    TO_getKeyId = 268,
    TO_getCertPath = 269,
    TO_getPrivateKeyObj = 270,
    TO_getSigAlgs = 271,
    TO_getKeyInfo = 272,
    TO_getOps = 273,
    TO_getObjectPIN = 274,
    TO_sign = 275,
    TO_decrypt = 276,
    TO_getCertObjs = 277,
    TO_getPublicKeyInfo = 278,
    TO_cipher_init = 279,
    TO_cipher_more = 280,
    TO_cipher_end = 281,
    TO_cipher_stop = 282,
    TO_cipher_all = 283,
    TO_get_key_type = 284,
};
constexpr Method TokenObjectMethodOf(Method wire)
{
    return (wire & kMethodIndexMask) + 256;
}

// One object seen through any of the token-object interfaces.
class TokenObjectAny : public TokenObjectData,
                       public TokenObjectCertificate,
                       public TokenObjectPublicKey,
                       public TokenObjectPrivateKey,
                       public TokenObjectSecretKey {
protected:
    ~TokenObjectAny() = default;
};

// The view of a token-object proxy that the number's kind calls for.
TokenObject* TokenObjectView(TokenObjectAny* any, ApiType kind);

class TokenObjectProxy : public ProxyBase, public TokenObjectAny {
public:
    // The proxy of `id` as the TokenObject of its kind's interface, with a
    // reference for the caller; NULL when memory runs out.
    static TokenObject* GetInstance(ProxyReg* registry, ITunnel* tunnel, uint32_t id);

    HRESULT QueryInterface(const GUID& iid, void** out) override { return ProxyBase::QueryInterface(iid, out); }
    long AddRef() override { return ProxyBase::AddRef(); }
    long Release() override { return ProxyBase::Release(); }
    const char* getType() override { return ProxyBase::getType(); }
    HRESULT cpy(TokenObject**) override { return S_OK; }
    int cmp(const TokenObject*) override { return 0; }
    HRESULT print(char** out, const char* indent, PRINT_CTX* context) override
    {
        return ProxyBase::print(out, indent, context);
    }

    TOKEN_OBJECT_TYPE getObjectType() override;
    HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override;
    HRESULT setP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override;
    HRESULT remove() override;
    HRESULT getData(OctetString** out) override;
    HRESULT getKeyId(const char** keyId) override;
    HRESULT getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path, Certificate** pathEnd) override;
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) override;
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override;
    HRESULT getKeyInfo(KeyInfo** out) override;
    HRESULT getOps(unsigned int* operations) override;
    HRESULT getObjectPIN(TokenPIN** out) override;
    HRESULT sign(const AlgId* algorithm, unsigned char flag, const unsigned char* digest, unsigned long digestLength,
                 unsigned char* signature, unsigned long* signatureLength, SECAttribute* attributes) override;
    HRESULT decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength, unsigned char* out,
                    unsigned long* outLength, SECAttribute* attributes) override;
    HRESULT getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                        unsigned long* count) override;
    HRESULT getPublicKeyInfo(KeyInfo** out) override;
    HRESULT cipher_init(SEC_CIPHER** cipher, SECAttribute* attributes) override;
    HRESULT cipher_all(SECAttribute* attributes, const unsigned char* in, unsigned long inLength, unsigned char* out,
                       unsigned long* outLength) override;
    HRESULT get_key_type(AlgEnc* algorithm, int* bits) override;
    HRESULT cipher_more(SEC_CIPHER** cipher, const unsigned char* in, unsigned long inLength, unsigned char* out,
                        unsigned long* outLength);
    HRESULT cipher_end(SEC_CIPHER** cipher, unsigned char* out, unsigned long* outLength);
    HRESULT cipher_stop(SEC_CIPHER** cipher);

private:
    std::mutex m_lock;
    TOKEN_OBJECT_TYPE m_type = static_cast<TOKEN_OBJECT_TYPE>(-2);
    StringCache m_keyId;
};

// Reads a token-object number and hands out its proxy as T (the kind's
// interface): 0 gives NULL; false when the reply ends or memory runs out.
template <class T>
bool ReadTokenObject(Transaction& transaction, ProxyBase* self, T** out);

// The stub of a token object: the methods of every kind, the kind's own ones
// in the derived classes. Anything else leaves an empty reply.
template <class S, class T>
class TokenObjectStubBase : public Stub<S, T> {
public:
    HRESULT Execute(Method method, TransactionStub& transaction) override;

protected:
    // The kind's own methods; -1 for one it does not handle.
    virtual HRESULT ExecuteKind(Method method, TransactionStub& transaction) = 0;
};

// A token object of no known kind.
class TokenObjectStub : public TokenObjectStubBase<TokenObjectStub, TokenObject> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT;
    // The number of `object` under the stub of its kind.
    static uint32_t GetID(ObjCache* cache, TokenObject* object);

protected:
    HRESULT ExecuteKind(Method, TransactionStub&) override { return -1; }
};

class TokenObjectDataStub : public TokenObjectStubBase<TokenObjectDataStub, TokenObjectData> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_DATA;

protected:
    HRESULT ExecuteKind(Method method, TransactionStub& transaction) override;
};

class TokenObjectCertificateStub : public TokenObjectStubBase<TokenObjectCertificateStub, TokenObjectCertificate> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_CERTIFICATE;

protected:
    HRESULT ExecuteKind(Method method, TransactionStub& transaction) override;
};

class TokenObjectPublicKeyStub : public TokenObjectStubBase<TokenObjectPublicKeyStub, TokenObjectPublicKey> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_PUBLICKEY;

protected:
    HRESULT ExecuteKind(Method method, TransactionStub& transaction) override;
};

class TokenObjectPrivateKeyStub : public TokenObjectStubBase<TokenObjectPrivateKeyStub, TokenObjectPrivateKey> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_PRIVATEKEY;

protected:
    HRESULT ExecuteKind(Method method, TransactionStub& transaction) override;
};

class TokenObjectSecretKeyStub : public TokenObjectStubBase<TokenObjectSecretKeyStub, TokenObjectSecretKey> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_SECRETKEY;

protected:
    HRESULT ExecuteKind(Method, TransactionStub&) override { return -1; }
};

// The token-object methods each stub class serves (tests pin them).
bool StubHandles(ApiType kind, Method method);

}  // namespace ZELK::PSESVC

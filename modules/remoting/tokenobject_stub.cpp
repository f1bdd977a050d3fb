// The service's side of token objects: one stub class per kind, each serving
// the methods of the one table below. Stubs look at the method's index only.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "kinds.h"
#include "zelk_alloc.h"

namespace ZELK::PSESVC {

namespace {

constexpr unsigned kAll = 0x3F0;  // kinds 4 to 9
constexpr unsigned Bit(ApiType kind)
{
    return 1u << kind;
}

// Which kinds serve each method, 263 to 284.
constexpr unsigned kServedBy[] = {
    kAll,                       // 263 getObjectType
    kAll,                       // 264
    kAll,                       // 265
    kAll,                       // 266 remove
    Bit(API_TOKENOBJECT_DATA),  // 267 getData
    Bit(API_TOKENOBJECT_CERTIFICATE) | Bit(API_TOKENOBJECT_PUBLICKEY) | Bit(API_TOKENOBJECT_PRIVATEKEY),  // 268
    Bit(API_TOKENOBJECT_CERTIFICATE),                                   // 269 getCertPath
    Bit(API_TOKENOBJECT_CERTIFICATE) | Bit(API_TOKENOBJECT_PUBLICKEY),  // 270 getPrivateKeyObj
    Bit(API_TOKENOBJECT_CERTIFICATE) | Bit(API_TOKENOBJECT_PUBLICKEY) | Bit(API_TOKENOBJECT_PRIVATEKEY),  // 271
    Bit(API_TOKENOBJECT_PUBLICKEY),   // 272 getKeyInfo
    Bit(API_TOKENOBJECT_PRIVATEKEY),  // 273 getOps
    Bit(API_TOKENOBJECT_PRIVATEKEY),  // 274 getObjectPIN
    Bit(API_TOKENOBJECT_PRIVATEKEY),  // 275 sign
    Bit(API_TOKENOBJECT_PRIVATEKEY),  // 276 decrypt
    Bit(API_TOKENOBJECT_PRIVATEKEY),  // 277 getCertObjs
    Bit(API_TOKENOBJECT_PRIVATEKEY),  // 278 getPublicKeyInfo
    0,
    0,
    0,
    0,
    0,
    0,  // 279 to 284: the cipher methods
};

// A buffer from the allocator, wiped before it is freed.
class Buffer {
public:
    explicit Buffer(size_t n) : m_n(n), m_p(static_cast<unsigned char*>(sec_calloc(std::max<size_t>(n, 1), 1))) {}
    ~Buffer()
    {
        if (m_p != nullptr) {
            OPENSSL_cleanse(m_p, m_n);
            sec_free(m_p);
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    unsigned char* get() const { return m_p; }

private:
    size_t m_n;
    unsigned char* m_p;
};

HRESULT GetAttributes(TokenObject* object, TransactionStub& transaction)
{
    uint32_t count = 0;
    if (!transaction.Read32(&count) || count > kMaxWireCount)
        return E_FAIL;
    std::vector<CK_ATTRIBUTE> entries(count);
    std::vector<unsigned long> room(count, 0);
    std::vector<std::unique_ptr<Buffer>> buffers(count);
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        bool withBuffer = false;
        uint32_t type = 0;
        uint32_t length = 0;
        if (!transaction.ReadBoolean(&withBuffer) || !transaction.Read32(&type) || !transaction.Read32(&length))
            return E_FAIL;
        entries[i].type = type;
        entries[i].pValue = nullptr;
        entries[i].ulValueLen = length;
        if (withBuffer) {
            total += length;
            if (length > kMaxWireBuffer || total > kMaxWireBuffers)
                return E_FAIL;
            buffers[i] = std::make_unique<Buffer>(length);
            if (buffers[i]->get() == nullptr)
                return E_FAIL;
            entries[i].pValue = buffers[i]->get();
            room[i] = length;
        }
    }
    HRESULT rc = object->getP11Attributes(entries.data(), count);
    transaction.WriteRC(rc);
    for (uint32_t i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& entry = entries[i];
        const bool withBuffer = buffers[i] != nullptr;
        if (entry.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            transaction.WriteBoolean(withBuffer);
            transaction.Write32(static_cast<uint32_t>(entry.type));
            transaction.Write32(0xFFFFFFFF);
            continue;
        }
        // A length beyond the buffer (or beyond the wire's word) goes without bytes.
        const bool fits = withBuffer && entry.ulValueLen <= room[i];
        const uint32_t length = entry.ulValueLen >= 0xFFFFFFFF ? 0xFFFFFFFE : static_cast<uint32_t>(entry.ulValueLen);
        transaction.WriteBoolean(fits);
        transaction.Write32(static_cast<uint32_t>(entry.type));
        transaction.Write32(length);
        if (fits)
            transaction.WriteBuffer(buffers[i]->get(), length);
    }
    return rc;
}

HRESULT SetAttributes(TokenObject* object, TransactionStub& transaction)
{
    uint32_t count = 0;
    if (!transaction.Read32(&count) || count > kMaxWireCount)
        return E_FAIL;
    std::vector<CK_ATTRIBUTE> entries(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t type = 0;
        const unsigned char* data = nullptr;
        size_t n = 0;
        if (!transaction.Read32(&type) || !transaction.ReadOctetString(&data, &n))
            return E_FAIL;
        entries[i].type = type;
        entries[i].pValue = const_cast<unsigned char*>(data);
        entries[i].ulValueLen = n;
    }
    HRESULT rc = object->setP11Attributes(entries.data(), count);
    transaction.WipeRequest();
    transaction.WriteRC(rc);
    return rc;
}

// The caller's output of sign and decrypt: its room and whether it gave a
// buffer and a place for the length.
struct Output {
    bool buffer = false;
    bool length = false;
    uint32_t room = 0;
};

bool ReadOutput(TransactionStub& transaction, Output& output)
{
    if (!transaction.ReadBoolean(&output.buffer) || !transaction.ReadBoolean(&output.length))
        return false;
    if (output.length && !transaction.Read32(&output.room))
        return false;
    return !(output.buffer && output.length && output.room > kMaxWireBuffer);
}

// A length beyond the buffer goes out without bytes, as "buffer too small"
// unless the key already failed.
HRESULT WriteOutput(TransactionStub& transaction, HRESULT rc, const Output& output, const Buffer* buffer,
                    unsigned long length)
{
    const bool fits = length <= output.room;
    if (buffer != nullptr && !fits && rc >= 0)
        rc = E_PSE_BUFFERTOOSMALL;
    transaction.WriteRC(rc);
    if (output.length)
        transaction.Write32(length > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<uint32_t>(length));
    if (buffer != nullptr && fits)
        transaction.WriteBuffer(buffer->get(), length);
    return rc;
}

HRESULT Sign(TokenObjectPrivateKey* key, TransactionStub& transaction, bool withFlag)
{
    WireValue<AlgId> algorithm;
    uint8_t flag = 0;
    const unsigned char* in = nullptr;
    size_t inLength = 0;
    Output output;
    WireValue<SECAttribute> attributes;
    if (!transaction.ReadObject(&algorithm) || (withFlag && !transaction.Read8(&flag))
        || !transaction.ReadOctetString(&in, &inLength) || !ReadOutput(transaction, output)
        || (withFlag && !transaction.ReadObject(&attributes)))
        return E_FAIL;
    std::unique_ptr<Buffer> buffer;
    if (output.buffer && output.length) {
        buffer = std::make_unique<Buffer>(output.room);
        if (buffer->get() == nullptr)
            return E_FAIL;
    }
    unsigned long length = output.length ? output.room : 0;
    unsigned char* out = buffer != nullptr ? buffer->get() : nullptr;
    HRESULT rc = withFlag ? key->sign(algorithm, flag, in, inLength, out, &length, attributes)
                          : key->decrypt(algorithm, in, inLength, out, &length, nullptr);
    if (!withFlag)
        transaction.WipeRequest();
    return WriteOutput(transaction, rc, output, buffer.get(), length);
}

HRESULT CertObjs(ObjCache* cache, TokenObjectPrivateKey* key, TransactionStub& transaction)
{
    uint32_t capacity = 0;
    if (!transaction.Read32(&capacity) || capacity > kMaxWireCount)
        return E_FAIL;
    TokenObjectCertificate** certificates = nullptr;
    if (capacity != 0) {
        certificates = static_cast<TokenObjectCertificate**>(sec_calloc(capacity, sizeof(TokenObjectCertificate*)));
        if (certificates == nullptr)
            return E_FAIL;
    }
    unsigned long count = capacity;
    TokenObjectPublicKey* publicKey = nullptr;
    HRESULT rc = key->getCertObjs(&publicKey, certificates, &count);
    transaction.WriteRC(rc);
    if (rc >= 0) {
        transaction.Write32(Stub<TokenObjectPublicKeyStub, TokenObjectPublicKey>::GetID(cache, publicKey));
        transaction.Write32(static_cast<uint32_t>(count));
        const unsigned long n = std::min<unsigned long>(count, capacity);
        for (unsigned long i = 0; i < n; ++i)
            transaction.Write32(
                Stub<TokenObjectCertificateStub, TokenObjectCertificate>::GetID(cache, certificates[i]));
    }
    for (uint32_t i = 0; i < capacity; ++i) {
        if (certificates[i] != nullptr)
            certificates[i]->Release();
    }
    sec_free(certificates);
    if (publicKey != nullptr)
        publicKey->Release();
    return rc;
}

template <class T>
HRESULT KeyId(T* object, TransactionStub& transaction)
{
    const char* text = nullptr;
    HRESULT rc = object->getKeyId(&text);
    transaction.WriteRC(rc);
    transaction.WriteString(text);
    return rc;
}

template <class T>
HRESULT SigAlgs(T* object, TransactionStub& transaction)
{
    WireValue<SEQUENCE_OF_AlgId> list;
    HRESULT rc = object->getSigAlgs(&list);
    transaction.WriteRC(rc);
    if (list.get() != nullptr)
        transaction.WriteObject(list.get());
    return rc;
}

template <class T>
HRESULT PrivateKeyObj(ObjCache* cache, T* object, TransactionStub& transaction)
{
    TokenObjectPrivateKey* key = nullptr;
    HRESULT rc = object->getPrivateKeyObj(&key);
    uint32_t number = HandOut<TokenObjectPrivateKeyStub>(cache, key);
    transaction.WriteRC(rc);
    transaction.Write32(number);
    return rc;
}

HRESULT WriteKeyInfo(TransactionStub& transaction, HRESULT rc, KeyInfo* info)
{
    transaction.WriteRC(rc);
    if (info != nullptr)
        transaction.WriteObject(info);
    return rc;
}

}  // namespace

bool StubHandles(ApiType kind, Method method)
{
    if (method < TO_getObjectType || method > TO_get_key_type)
        return false;
    return (kServedBy[method - TO_getObjectType] & Bit(kind)) != 0;
}

template <class S, class T>
HRESULT TokenObjectStubBase<S, T>::Execute(Method wire, TransactionStub& transaction)
{
    const Method method = TokenObjectMethodOf(wire);
    if (!StubHandles(S::kKind, method))
        return -1;
    TokenObject* object = this->m_object;
    switch (method) {
    case TO_getObjectType: {
        TOKEN_OBJECT_TYPE type = object->getObjectType();
        transaction.Write32(static_cast<uint32_t>(type));
        return S_OK;
    }
    case TO_getP11Attributes:
        return GetAttributes(object, transaction);
    case TO_setP11Attributes:
        return SetAttributes(object, transaction);
    case TO_remove: {
        HRESULT rc = object->remove();
        transaction.WriteRC(rc);
        return rc;
    }
    default:
        return ExecuteKind(method, transaction);
    }
}

template class TokenObjectStubBase<TokenObjectStub, TokenObject>;
template class TokenObjectStubBase<TokenObjectDataStub, TokenObjectData>;
template class TokenObjectStubBase<TokenObjectCertificateStub, TokenObjectCertificate>;
template class TokenObjectStubBase<TokenObjectPublicKeyStub, TokenObjectPublicKey>;
template class TokenObjectStubBase<TokenObjectPrivateKeyStub, TokenObjectPrivateKey>;
template class TokenObjectStubBase<TokenObjectSecretKeyStub, TokenObjectSecretKey>;

uint32_t TokenObjectStub::GetID(ObjCache* cache, TokenObject* object)
{
    if (object == nullptr)
        return 0;
    switch (object->getObjectType()) {
    case TOKEN_OBJECT_DATA:
        return Stub<TokenObjectDataStub, TokenObjectData>::GetID(cache, static_cast<TokenObjectData*>(object));
    case TOKEN_OBJECT_CERTIFICATE:
        return Stub<TokenObjectCertificateStub, TokenObjectCertificate>::GetID(
            cache, static_cast<TokenObjectCertificate*>(object));
    case TOKEN_OBJECT_PUBLIC_KEY:
        return Stub<TokenObjectPublicKeyStub, TokenObjectPublicKey>::GetID(cache,
                                                                           static_cast<TokenObjectPublicKey*>(object));
    case TOKEN_OBJECT_PRIVATE_KEY:
        return Stub<TokenObjectPrivateKeyStub, TokenObjectPrivateKey>::GetID(
            cache, static_cast<TokenObjectPrivateKey*>(object));
    case TOKEN_OBJECT_SECRET_KEY:
        return Stub<TokenObjectSecretKeyStub, TokenObjectSecretKey>::GetID(cache,
                                                                           static_cast<TokenObjectSecretKey*>(object));
    default:
        return Stub<TokenObjectStub, TokenObject>::GetID(cache, object);
    }
}

HRESULT TokenObjectDataStub::ExecuteKind(Method method, TransactionStub& transaction)
{
    if (method != TO_getData)
        return -1;
    WireValue<OctetString> data;
    HRESULT rc = m_object->getData(&data);
    transaction.WriteRC(rc);
    transaction.WriteOctetString(data.get());
    return rc;
}

HRESULT TokenObjectCertificateStub::ExecuteKind(Method method, TransactionStub& transaction)
{
    switch (method) {
    case TO_getKeyId:
        return KeyId(m_object, transaction);
    case TO_getCertPath: {
        bool wanted[3] = {};
        for (bool& w : wanted) {
            if (!transaction.ReadBoolean(&w))
                return E_FAIL;
        }
        WireValue<Certificate> certificate;
        WireValue<SEQUENCE_OF_Certificate> path;
        WireValue<Certificate> pathEnd;
        HRESULT rc = m_object->getCertPath(wanted[0] ? &certificate : nullptr, wanted[1] ? &path : nullptr,
                                           wanted[2] ? &pathEnd : nullptr);
        transaction.WriteRC(rc);
        if (wanted[0])
            transaction.WriteObject(certificate.get());
        if (wanted[1])
            transaction.WriteObject(path.get());
        if (wanted[2])
            transaction.WriteObject(pathEnd.get());
        return rc;
    }
    case TO_getPrivateKeyObj:
        return PrivateKeyObj(m_cache, m_object, transaction);
    case TO_getSigAlgs:
        return SigAlgs(m_object, transaction);
    default:
        return -1;
    }
}

HRESULT TokenObjectPublicKeyStub::ExecuteKind(Method method, TransactionStub& transaction)
{
    switch (method) {
    case TO_getKeyId:
        return KeyId(m_object, transaction);
    case TO_getKeyInfo: {
        WireValue<KeyInfo> info;
        HRESULT rc = m_object->getKeyInfo(&info);
        return WriteKeyInfo(transaction, rc, info.get());
    }
    case TO_getPrivateKeyObj:
        return PrivateKeyObj(m_cache, m_object, transaction);
    case TO_getSigAlgs:
        return SigAlgs(m_object, transaction);
    default:
        return -1;
    }
}

HRESULT TokenObjectPrivateKeyStub::ExecuteKind(Method method, TransactionStub& transaction)
{
    switch (method) {
    case TO_getKeyId:
        return KeyId(m_object, transaction);
    case TO_getSigAlgs:
        return SigAlgs(m_object, transaction);
    case TO_getOps: {
        unsigned int operations = 0;
        HRESULT rc = m_object->getOps(&operations);
        transaction.WriteRC(rc);
        transaction.Write32(operations);
        return rc;
    }
    case TO_getObjectPIN: {
        TokenPIN* pin = nullptr;
        HRESULT rc = m_object->getObjectPIN(&pin);
        uint32_t number = HandOut<TokenPINStub>(m_cache, pin);
        transaction.WriteRC(rc);
        transaction.Write32(number);
        return rc;
    }
    case TO_sign:
        return Sign(m_object, transaction, true);
    case TO_decrypt:
        return Sign(m_object, transaction, false);
    case TO_getCertObjs:
        return CertObjs(m_cache, m_object, transaction);
    case TO_getPublicKeyInfo: {
        WireValue<KeyInfo> info;
        HRESULT rc = m_object->getPublicKeyInfo(&info);
        return WriteKeyInfo(transaction, rc, info.get());
    }
    default:
        return -1;
    }
}

}  // namespace ZELK::PSESVC

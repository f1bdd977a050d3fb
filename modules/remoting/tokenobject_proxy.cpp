// The client's side of token objects: one proxy class seen through the
// interface of the number's kind.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kinds.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

typedef SECTRACE_Fkt_IMPL<int> Trace;

template <class T>
struct InterfaceKind;
template <>
struct InterfaceKind<TokenObject> {
    static constexpr ApiType value = API_TOKENOBJECT;
};
template <>
struct InterfaceKind<TokenObjectData> {
    static constexpr ApiType value = API_TOKENOBJECT_DATA;
};
template <>
struct InterfaceKind<TokenObjectCertificate> {
    static constexpr ApiType value = API_TOKENOBJECT_CERTIFICATE;
};
template <>
struct InterfaceKind<TokenObjectPublicKey> {
    static constexpr ApiType value = API_TOKENOBJECT_PUBLICKEY;
};
template <>
struct InterfaceKind<TokenObjectPrivateKey> {
    static constexpr ApiType value = API_TOKENOBJECT_PRIVATEKEY;
};

}  // namespace

TokenObject* TokenObjectView(TokenObjectAny* any, ApiType kind)
{
    switch (kind) {
    case API_TOKENOBJECT_CERTIFICATE:
        return static_cast<TokenObjectCertificate*>(any);
    case API_TOKENOBJECT_PUBLICKEY:
        return static_cast<TokenObjectPublicKey*>(any);
    case API_TOKENOBJECT_PRIVATEKEY:
        return static_cast<TokenObjectPrivateKey*>(any);
    case API_TOKENOBJECT_SECRETKEY:
        return static_cast<TokenObjectSecretKey*>(any);
    default:
        return static_cast<TokenObjectData*>(any);
    }
}

TokenObject* TokenObjectProxy::GetInstance(ProxyReg* registry, ITunnel* tunnel, uint32_t id)
{
    ZELK::CriticalCodeSection lock(&ProxyBase::s_cs);
    TokenObjectProxy* proxy = nullptr;
    if (ProxyBase* found = registry->Search(id)) {
        found->AddRef();
        proxy = static_cast<TokenObjectProxy*>(found);
    } else {
        proxy = new (std::nothrow) TokenObjectProxy();
        if (proxy == nullptr)
            return nullptr;
        registry->Register(proxy, tunnel, id);
    }
    return TokenObjectView(proxy, KindOfNumber(id));
}

template <class T>
bool ReadTokenObject(Transaction& transaction, ProxyBase* self, T** out)
{
    uint32_t number = 0;
    if (!transaction.Read32(&number))
        return false;
    if (number == 0) {
        *out = nullptr;
        return true;
    }
    const ApiType kind = KindOfNumber(number);
    if ((number & kMethodIndexMask) != 0 || self->Registry() == nullptr)
        return false;
    if (InterfaceKind<T>::value != API_TOKENOBJECT && kind != InterfaceKind<T>::value)
        return false;
    if (InterfaceKind<T>::value == API_TOKENOBJECT && (kind < API_TOKENOBJECT || kind > API_TOKENOBJECT_SECRETKEY))
        return false;
    TokenObject* view = TokenObjectProxy::GetInstance(self->Registry(), self->Tunnel(), number);
    *out = static_cast<T*>(view);
    return view != nullptr;
}

template bool ReadTokenObject<TokenObject>(Transaction&, ProxyBase*, TokenObject**);
template bool ReadTokenObject<TokenObjectData>(Transaction&, ProxyBase*, TokenObjectData**);
template bool ReadTokenObject<TokenObjectCertificate>(Transaction&, ProxyBase*, TokenObjectCertificate**);
template bool ReadTokenObject<TokenObjectPublicKey>(Transaction&, ProxyBase*, TokenObjectPublicKey**);
template bool ReadTokenObject<TokenObjectPrivateKey>(Transaction&, ProxyBase*, TokenObjectPrivateKey**);

TOKEN_OBJECT_TYPE TokenObjectProxy::getObjectType()
{
    SECTRACE_Fkt_IMPL<TOKEN_OBJECT_TYPE> trace("%d", "TokenObjectProxy::getObjectType");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_type == -2) {
        switch (KindOfNumber(Number())) {
        case API_TOKENOBJECT_DATA:
            m_type = TOKEN_OBJECT_DATA;
            break;
        case API_TOKENOBJECT_CERTIFICATE:
            m_type = TOKEN_OBJECT_CERTIFICATE;
            break;
        case API_TOKENOBJECT_PUBLICKEY:
            m_type = TOKEN_OBJECT_PUBLIC_KEY;
            break;
        case API_TOKENOBJECT_PRIVATEKEY:
            m_type = TOKEN_OBJECT_PRIVATE_KEY;
            break;
        case API_TOKENOBJECT_SECRETKEY:
            m_type = TOKEN_OBJECT_SECRET_KEY;
            break;
        default:
            m_type = TOKEN_OBJECT_NONE;
        }
    }
    return trace.result = m_type;
}

HRESULT TokenObjectProxy::getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count)
{
    Trace trace("%8x", "TokenObjectProxy::getP11Attributes");
    if (count > kMaxWireCount || (count != 0 && attributes == nullptr))
        return trace.result = E_INVALIDARG;
    uint64_t total = 0;
    for (unsigned long i = 0; i < count; ++i) {
        if (attributes[i].pValue == nullptr)
            continue;
        if (attributes[i].ulValueLen > kMaxWireBuffer)
            return trace.result = E_INVALIDARG;
        total += attributes[i].ulValueLen;
    }
    if (total > kMaxWireBuffers)
        return trace.result = E_INVALIDARG;
    Transaction transaction;
    transaction.Init(Number(), TO_getP11Attributes);
    transaction.Write32(static_cast<uint32_t>(count));
    std::vector<unsigned long> room(count);
    for (unsigned long i = 0; i < count; ++i) {
        room[i] = attributes[i].pValue != nullptr ? attributes[i].ulValueLen : 0;
        transaction.WriteBoolean(attributes[i].pValue != nullptr);
        transaction.Write32(static_cast<uint32_t>(attributes[i].type));
        transaction.Write32(static_cast<uint32_t>(attributes[i].ulValueLen));
    }
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    for (unsigned long i = 0; i < count; ++i) {
        bool withBytes = false;
        uint32_t type = 0;
        uint32_t length = 0;
        if (!transaction.ReadBoolean(&withBytes) || !transaction.Read32(&type) || !transaction.Read32(&length))
            return trace.result = E_FAIL;
        if (length == 0xFFFFFFFF) {
            attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            continue;
        }
        attributes[i].ulValueLen = length;
        if (!withBytes)
            continue;
        // Bytes only into a buffer of the caller that holds them.
        if (attributes[i].pValue == nullptr || room[i] < length)
            return trace.result = E_FAIL;
        if (!transaction.ReadBuffer(static_cast<unsigned char*>(attributes[i].pValue), length))
            return trace.result = E_FAIL;
    }
    return trace.result = rc;
}

HRESULT TokenObjectProxy::setP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count)
{
    Trace trace("%8x", "TokenObjectProxy::setP11Attributes");
    if (count > kMaxWireCount || (count != 0 && attributes == nullptr))
        return trace.result = E_INVALIDARG;
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), TO_setP11Attributes);
    transaction.Write32(static_cast<uint32_t>(count));
    uint64_t total = 0;
    for (unsigned long i = 0; i < count; ++i) {
        const unsigned long length = attributes[i].pValue != nullptr ? attributes[i].ulValueLen : 0;
        total += length;
        if (length > kMaxWireBuffer || total > kMaxWireBuffers)
            return trace.result = E_INVALIDARG;
        transaction.Write32(static_cast<uint32_t>(attributes[i].type));
        transaction.WriteOctetString(static_cast<const unsigned char*>(attributes[i].pValue), length);
    }
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenObjectProxy::remove()
{
    Trace trace("%8x", "TokenObjectProxy::remove");
    Transaction transaction;
    transaction.Init(Number(), TO_remove);
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenObjectProxy::getData(OctetString** out)
{
    Trace trace("%8x", "TokenObjectProxy::getData");
    Transaction transaction;
    transaction.Init(Number(), TO_getData);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    OctetString* copy = nullptr;
    if (!transaction.ReadOctetString(&copy))
        return trace.result = E_FAIL;
    if (out != nullptr)
        *out = copy;
    else
        WireFree(&copy);
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getKeyId(const char** keyId)
{
    Trace trace("%8x", "TokenObjectProxy::getKeyId");
    return trace.result = getStaticString(TO_getKeyId, m_keyId, keyId);
}

HRESULT TokenObjectProxy::getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path, Certificate** pathEnd)
{
    Trace trace("%8x", "TokenObjectProxy::getCertPath");
    Transaction transaction;
    transaction.Init(Number(), TO_getCertPath);
    transaction.WriteBoolean(certificate != nullptr);
    transaction.WriteBoolean(path != nullptr);
    transaction.WriteBoolean(pathEnd != nullptr);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (certificate != nullptr) {
        *certificate = nullptr;
        if (!transaction.ReadObject(certificate))
            return trace.result = E_FAIL;
    }
    if (path != nullptr) {
        *path = nullptr;
        if (!transaction.ReadObject(path))
            return trace.result = E_FAIL;
    }
    if (pathEnd != nullptr) {
        *pathEnd = nullptr;
        if (!transaction.ReadObject(pathEnd))
            return trace.result = E_FAIL;
    }
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getPrivateKeyObj(TokenObjectPrivateKey** out)
{
    Trace trace("%8x", "TokenObjectProxy::getPrivateKeyObj");
    Transaction transaction;
    transaction.Init(Number(), TO_getPrivateKeyObj);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    TokenObjectPrivateKey* key = nullptr;
    if (!ReadTokenObject(transaction, this, &key))
        return trace.result = E_FAIL;
    if (out != nullptr)
        *out = key;
    else if (key != nullptr)
        key->Release();
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getSigAlgs(SEQUENCE_OF_AlgId** out)
{
    Trace trace("%8x", "TokenObjectProxy::getSigAlgs");
    Transaction transaction;
    transaction.Init(Number(), TO_getSigAlgs);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    transaction.ReadObject(out);
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getKeyInfo(KeyInfo** out)
{
    Trace trace("%8x", "TokenObjectProxy::getKeyInfo");
    Transaction transaction;
    transaction.Init(Number(), TO_getKeyInfo);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    KeyInfo* info = nullptr;
    if (!transaction.ReadObject(&info) || info == nullptr)
        return trace.result = E_FAIL;
    if (out != nullptr)
        *out = info;
    else
        WireFree(&info);
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getPublicKeyInfo(KeyInfo** out)
{
    Trace trace("%8x", "TokenObjectProxy::getPublicKeyInfo");
    Transaction transaction;
    transaction.Init(Number(), TO_getPublicKeyInfo);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    KeyInfo* info = nullptr;
    if (!transaction.ReadObject(&info))
        info = nullptr;
    if (out != nullptr)
        *out = info;
    else
        WireFree(&info);
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getOps(unsigned int* operations)
{
    Trace trace("%8x", "TokenObjectProxy::getOps");
    Transaction transaction;
    transaction.Init(Number(), TO_getOps);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0 || operations == nullptr)
        return trace.result = rc;
    uint32_t value = 0;
    if (!transaction.Read32(&value))
        return trace.result = E_FAIL;
    *operations = value;
    return trace.result = rc;
}

HRESULT TokenObjectProxy::getObjectPIN(TokenPIN** out)
{
    Trace trace("%8x", "TokenObjectProxy::getObjectPIN");
    Transaction transaction;
    transaction.Init(Number(), TO_getObjectPIN);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    TokenPIN* pin = nullptr;
    if (!ReadProxy<TokenPINProxy>(transaction, this, &pin))
        return trace.result = E_FAIL;
    if (out != nullptr)
        *out = pin;
    else if (pin != nullptr)
        pin->Release();
    return trace.result = rc;
}

namespace {

// The reply of sign and decrypt: the length when the caller gave a place for
// it, the bytes when it gave both and they fit the room it announced.
HRESULT ReadOutput(Transaction& transaction, HRESULT rc, unsigned char* out, unsigned long* outLength,
                   unsigned long room)
{
    if (outLength == nullptr)
        return rc;
    uint32_t length = 0;
    if (!transaction.Read32(&length))
        return E_FAIL;
    *outLength = length;
    if (out != nullptr && length <= room && !transaction.ReadBuffer(out, length))
        return E_FAIL;
    return rc;
}

}  // namespace

HRESULT TokenObjectProxy::sign(const AlgId* algorithm, unsigned char flag, const unsigned char* digest,
                               unsigned long digestLength, unsigned char* signature, unsigned long* signatureLength,
                               SECAttribute* attributes)
{
    Trace trace("%8x", "TokenObjectProxy::sign");
    const unsigned long room = signatureLength != nullptr ? *signatureLength : 0;
    if (digestLength > kMaxWireBuffer || (digest == nullptr && digestLength != 0)
        || (signature != nullptr && room > kMaxWireBuffer))
        return trace.result = E_INVALIDARG;
    Transaction transaction;
    transaction.Init(Number(), TO_sign);
    transaction.WriteObject(algorithm);
    transaction.Write8(flag);
    transaction.WriteOctetString(digest, digestLength);
    transaction.WriteBoolean(signature != nullptr);
    transaction.WriteBoolean(signatureLength != nullptr);
    if (signatureLength != nullptr)
        transaction.Write32(static_cast<uint32_t>(room));
    transaction.WriteObject(attributes);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    return trace.result = ReadOutput(transaction, rc, signature, signatureLength, room);
}

HRESULT TokenObjectProxy::decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength,
                                  unsigned char* out, unsigned long* outLength, SECAttribute*)
{
    Trace trace("%8x", "TokenObjectProxy::decrypt");
    const unsigned long room = outLength != nullptr ? *outLength : 0;
    if (inLength > kMaxWireBuffer || (in == nullptr && inLength != 0) || (out != nullptr && room > kMaxWireBuffer))
        return trace.result = E_INVALIDARG;
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), TO_decrypt);
    transaction.WriteObject(algorithm);
    transaction.WriteOctetString(in, inLength);
    transaction.WriteBoolean(out != nullptr);
    transaction.WriteBoolean(outLength != nullptr);
    if (outLength != nullptr)
        transaction.Write32(static_cast<uint32_t>(room));
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    return trace.result = ReadOutput(transaction, rc, out, outLength, room);
}

HRESULT TokenObjectProxy::getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                                      unsigned long* count)
{
    Trace trace("%8x", "TokenObjectProxy::getCertObjs");
    const unsigned long capacity = certificates != nullptr && count != nullptr ? *count : 0;
    if (capacity > kMaxWireCount)
        return trace.result = E_INVALIDARG;
    Transaction transaction;
    transaction.Init(Number(), TO_getCertObjs);
    transaction.Write32(static_cast<uint32_t>(capacity));
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    if (certificates != nullptr)
        std::fill(certificates, certificates + capacity, nullptr);
    TokenObjectPublicKey* key = nullptr;
    if (!ReadTokenObject(transaction, this, &key))
        return trace.result = E_FAIL;
    if (publicKey != nullptr)
        *publicKey = key;
    else if (key != nullptr)
        key->Release();
    uint32_t n = 0;
    if (!transaction.Read32(&n))
        return trace.result = E_FAIL;
    const unsigned long stored = std::min<unsigned long>(n, capacity);
    for (unsigned long i = 0; i < stored; ++i) {
        if (!ReadTokenObject(transaction, this, &certificates[i]))
            return trace.result = E_FAIL;
    }
    if (count != nullptr)
        *count = n;
    return trace.result = rc;
}

// No stub serves the cipher methods; sending one would end the connection
// and break every proxy of the client.
HRESULT TokenObjectProxy::cipher_init(SEC_CIPHER**, SECAttribute*)
{
    Trace trace("%8x", "TokenObjectProxy::cipher_init");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    return trace.result = E_NOTIMPL;
}

HRESULT TokenObjectProxy::cipher_more(SEC_CIPHER**, const unsigned char*, unsigned long, unsigned char*, unsigned long*)
{
    Trace trace("%8x", "TokenObjectProxy::cipher_more");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    return trace.result = E_NOTIMPL;
}

HRESULT TokenObjectProxy::cipher_end(SEC_CIPHER**, unsigned char*, unsigned long*)
{
    Trace trace("%8x", "TokenObjectProxy::cipher_end");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    return trace.result = E_NOTIMPL;
}

HRESULT TokenObjectProxy::cipher_stop(SEC_CIPHER**)
{
    Trace trace("%8x", "TokenObjectProxy::cipher_stop");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    return trace.result = E_NOTIMPL;
}

HRESULT TokenObjectProxy::cipher_all(SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*)
{
    Trace trace("%8x", "TokenObjectProxy::cipher_all");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    return trace.result = E_NOTIMPL;
}

HRESULT TokenObjectProxy::get_key_type(AlgEnc*, int*)
{
    Trace trace("%8x", "TokenObjectProxy::get_key_type");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    return trace.result = E_NOTIMPL;
}

}  // namespace ZELK::PSESVC

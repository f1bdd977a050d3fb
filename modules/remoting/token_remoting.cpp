// Tokens over the wire, and the profile records of token initialisation.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "kinds.h"
#include "zelk_alloc.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

typedef SECTRACE_Fkt_IMPL<int> Trace;

constexpr Method kToken = API_TOKEN * 64;

void NotImplemented()
{
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
}

char* CopyText(const char* text, bool* ok)
{
    if (text == nullptr)
        return nullptr;
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(sec_malloc(n));
    if (copy == nullptr)
        *ok = false;
    else
        std::memcpy(copy, text, n);
    return copy;
}

void FreeText(char* text)
{
    if (text != nullptr) {
        OPENSSL_cleanse(text, std::strlen(text));
        sec_free(text);
    }
}

void WritePIN(Transaction& transaction, const ProfileInfoPIN* pin)
{
    transaction.WriteBoolean(pin != nullptr);
    if (pin == nullptr)
        return;
    transaction.Write32(static_cast<uint32_t>(pin->pinId));
    transaction.Write8(pin->pinFlag);
    transaction.WriteString(pin->pinName);
    for (int32_t value : pin->pinParams)
        transaction.Write32(static_cast<uint32_t>(value));
    transaction.Write8(pin->pinFlag2);
    for (int32_t value : pin->pinLimits)
        transaction.Write32(static_cast<uint32_t>(value));
    transaction.WriteString(pin->pinValue);
}

void FreePIN(ProfileInfoPIN* pin)
{
    if (pin == nullptr)
        return;
    FreeText(pin->pinName);
    FreeText(pin->pinValue);
    sec_free(pin);
}

bool ReadPIN(Transaction& transaction, ProfileInfoPIN** out)
{
    *out = nullptr;
    bool present = false;
    if (!transaction.ReadBoolean(&present))
        return false;
    if (!present)
        return true;
    auto* pin = static_cast<ProfileInfoPIN*>(sec_calloc(1, sizeof(ProfileInfoPIN)));
    if (pin == nullptr)
        return false;
    bool ok = true;
    uint32_t word = 0;
    const char* text = nullptr;
    ok = ok && transaction.Read32(&word);
    pin->pinId = static_cast<int32_t>(word);
    ok = ok && transaction.Read8(&pin->pinFlag) && transaction.ReadString(&text);
    if (ok)
        pin->pinName = CopyText(text, &ok);
    for (int32_t& value : pin->pinParams) {
        ok = ok && transaction.Read32(&word);
        value = static_cast<int32_t>(word);
    }
    ok = ok && transaction.Read8(&pin->pinFlag2);
    for (int32_t& value : pin->pinLimits) {
        ok = ok && transaction.Read32(&word);
        value = static_cast<int32_t>(word);
    }
    text = nullptr;
    ok = ok && transaction.ReadString(&text);
    if (ok)
        pin->pinValue = CopyText(text, &ok);
    if (!ok) {
        FreePIN(pin);
        return false;
    }
    *out = pin;
    return true;
}

}  // namespace

void WriteProfileInfo(Transaction& transaction, const ProfileInfo* info)
{
    const ProfileInfo empty {};
    if (info == nullptr)
        info = &empty;
    transaction.WriteString(info->profile);
    transaction.Write32(info->sub != nullptr ? static_cast<uint32_t>(info->sub->id) : 0);
    transaction.WriteString(info->sub != nullptr ? info->sub->text : nullptr);
    WritePIN(transaction, info->pin1);
    WritePIN(transaction, info->pin2);
}

void FreeProfileInfo(ProfileInfo* info)
{
    if (info == nullptr)
        return;
    FreeText(info->profile);
    if (info->sub != nullptr) {
        FreeText(info->sub->text);
        sec_free(info->sub);
    }
    FreePIN(info->pin1);
    FreePIN(info->pin2);
    sec_free(info);
}

bool ReadProfileInfo(Transaction& transaction, ProfileInfo** out)
{
    *out = nullptr;
    auto* info = static_cast<ProfileInfo*>(sec_calloc(1, sizeof(ProfileInfo)));
    if (info == nullptr)
        return false;
    bool ok = true;
    const char* text = nullptr;
    uint32_t id = 0;
    ok = ok && transaction.ReadString(&text);
    if (ok)
        info->profile = CopyText(text, &ok);
    text = nullptr;
    ok = ok && transaction.Read32(&id) && transaction.ReadString(&text);
    if (ok && (id != 0 || text != nullptr)) {
        info->sub = static_cast<ProfileInfoSub*>(sec_calloc(1, sizeof(ProfileInfoSub)));
        ok = info->sub != nullptr;
        if (ok) {
            info->sub->id = static_cast<int32_t>(id);
            info->sub->text = CopyText(text, &ok);
        }
    }
    ok = ok && ReadPIN(transaction, &info->pin1) && ReadPIN(transaction, &info->pin2);
    if (!ok) {
        FreeProfileInfo(info);
        return false;
    }
    *out = info;
    return true;
}

// ---- TokenProxy ----

HRESULT TokenProxy::isValid()
{
    Trace trace("%8x", "TokenProxy::isValid");
    Transaction transaction;
    transaction.Init(Number(), kToken + 7);
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenProxy::getTokenProfile(const char** profile)
{
    Trace trace("%8x", "TokenProxy::getTokenProfile");
    return trace.result = getStaticString(kToken + 8, m_profile, profile);
}

HRESULT TokenProxy::getTokenName(const char** name)
{
    Trace trace("%8x", "TokenProxy::getTokenName");
    return trace.result = getStaticString(kToken + 9, m_name, name);
}

HRESULT TokenProxy::getTokenLabel(const char** label)
{
    Trace trace("%8x", "TokenProxy::getTokenLabel");
    return trace.result = getStaticString(kToken + 10, m_label, label);
}

HRESULT TokenProxy::getSerialNumber(const char** serial)
{
    Trace trace("%8x", "TokenProxy::getSerialNumber");
    return trace.result = getStaticString(kToken + 11, m_serial, serial);
}

HRESULT TokenProxy::getP11TokenInfo(CK_TOKEN_INFO* info)
{
    Trace trace("%8x", "TokenProxy::getP11TokenInfo");
    Transaction transaction;
    transaction.Init(Number(), kToken + 12);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    unsigned char image[kTokenInfoImage];
    if (!transaction.ReadBuffer(image, sizeof(image)))
        return trace.result = E_FAIL;
    if (info != nullptr)
        DecodeTokenInfo(image, info);
    return trace.result = rc;
}

HRESULT TokenProxy::getCardPIN(TokenPIN** out)
{
    Trace trace("%8x", "TokenProxy::getCardPIN");
    Transaction transaction;
    transaction.Init(Number(), kToken + 13);
    transaction.WriteBoolean(out != nullptr);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (out != nullptr && !ReadProxy<TokenPINProxy>(transaction, this, out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT TokenProxy::getPINs(TokenPIN** pins, unsigned long* count)
{
    Trace trace("%8x", "TokenProxy::getPINs");
    NotImplemented();
    const unsigned long capacity = count != nullptr ? *count : 0;
    if (capacity > kMaxWireCount)
        return trace.result = E_INVALIDARG;
    if (pins != nullptr)
        std::fill(pins, pins + capacity, nullptr);
    Transaction transaction;
    transaction.Init(Number(), kToken + 14);
    transaction.WriteBoolean(pins != nullptr);
    transaction.Write32(static_cast<uint32_t>(capacity));
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (rc < 0 || count == nullptr)
        return trace.result = rc;
    uint32_t n = 0;
    if (!transaction.Read32(&n))
        return trace.result = E_FAIL;
    *count = n;
    if (pins != nullptr) {
        const unsigned long stored = std::min<unsigned long>(n, capacity);
        for (unsigned long i = 0; i < stored; ++i) {
            if (!ReadProxy<TokenPINProxy>(transaction, this, &pins[i]))
                return trace.result = E_FAIL;
        }
    }
    return trace.result = rc;
}

HRESULT TokenProxy::getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                               const char* label)
{
    Trace trace("%8x", "TokenProxy::getObjects");
    const unsigned long capacity = count != nullptr ? *count : 0;
    const bool both = objects != nullptr && count != nullptr;
    if (both && capacity > kMaxWireCount)
        return trace.result = E_INVALIDARG;
    if (both)
        std::fill(objects, objects + capacity, nullptr);
    Transaction transaction;
    transaction.Init(Number(), kToken + 15);
    transaction.WriteBoolean(objects != nullptr);
    transaction.WriteBoolean(count != nullptr);
    if (count != nullptr)
        transaction.Write32(static_cast<uint32_t>(capacity));
    transaction.Write32(static_cast<uint32_t>(type));
    transaction.WriteString(keyId);
    transaction.WriteString(label);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (count == nullptr)
        return trace.result = rc;
    uint32_t n = 0;
    if (!transaction.Read32(&n))
        return trace.result = E_FAIL;
    *count = n;
    if (both) {
        const unsigned long stored = std::min<unsigned long>(n, capacity);
        for (unsigned long i = 0; i < stored; ++i) {
            if (!ReadTokenObject(transaction, this, &objects[i]))
                return trace.result = E_FAIL;
        }
    }
    return trace.result = rc;
}

HRESULT TokenProxy::isInitialized()
{
    Trace trace("%8x", "TokenProxy::isInitialized");
    Transaction transaction;
    transaction.Init(Number(), kToken + 16);
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenProxy::getWritableProfiles(char***)
{
    Trace trace("%8x", "TokenProxy::getWritableProfiles");
    NotImplemented();
    Transaction transaction;
    transaction.Init(Number(), kToken + 17);
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenProxy::getInitInfo(const char* profile, ProfileInfo** out)
{
    Trace trace("%8x", "TokenProxy::getInitInfo");
    if (out == nullptr)
        return trace.result = -1;
    *out = nullptr;
    Transaction transaction;
    transaction.Init(Number(), kToken + 18);
    transaction.WriteString(profile);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    if (!ReadProfileInfo(transaction, out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT TokenProxy::delInitInfo(ProfileInfo** info)
{
    Trace trace("%8x", "TokenProxy::delInitInfo");
    if (info != nullptr) {
        FreeProfileInfo(*info);
        *info = nullptr;
    }
    return trace.result = S_OK;
}

HRESULT TokenProxy::initToken(ProfileInfo* info)
{
    Trace trace("%8x", "TokenProxy::initToken");
    NotImplemented();
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), kToken + 20);
    WriteProfileInfo(transaction, info);
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenProxy::deleteToken()
{
    Trace trace("%8x", "TokenProxy::deleteToken");
    Transaction transaction;
    transaction.Init(Number(), kToken + 21);
    return trace.result = CallRemoteRC(this, transaction);
}

HRESULT TokenProxy::isAlgSupported(AlgEnc algorithm, const AllowedValues** allowed)
{
    Trace trace("%8x", "TokenProxy::isAlgSupported");
    Transaction transaction;
    transaction.Init(Number(), kToken + 22);
    transaction.Write32(algorithm);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (allowed == nullptr)
        return trace.result = rc;
    *allowed = nullptr;
    if (transaction.Remaining() == 0)
        return trace.result = rc;
    AllowedValues received {};
    for (uint32_t& value : received.values) {
        if (!transaction.Read32(&value))
            return trace.result = E_FAIL;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_allowed = received;
    *allowed = &m_allowed;
    return trace.result = rc;
}

HRESULT TokenProxy::genKeyPair(AlgId* algorithm, unsigned long keySize, TokenObjectPrivateKey** privateKey,
                               const char* privateLabel, unsigned int usage, TokenObjectPublicKey** publicKey,
                               const char* publicLabel, KeyInfo** publicKeyInfo, SECAttribute* attributes)
{
    Trace trace("%8x", "TokenProxy::genKeyPair");
    NotImplemented();
    Transaction transaction;
    transaction.Init(Number(), kToken + 23);
    transaction.WriteObject(algorithm);
    transaction.Write32(static_cast<uint32_t>(keySize));
    transaction.WriteString(privateLabel);
    transaction.Write32(usage);
    transaction.WriteString(publicLabel);
    transaction.WriteObject(attributes);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return trace.result = rc;
    TokenObjectPrivateKey* key = nullptr;
    TokenObjectPublicKey* pub = nullptr;
    if (!ReadTokenObject(transaction, this, &key))
        return trace.result = E_FAIL;
    if (!ReadTokenObject(transaction, this, &pub)) {
        if (key != nullptr)
            key->Release();
        return trace.result = E_FAIL;
    }
    // Objects the caller did not ask for are let go at once.
    if (privateKey != nullptr)
        *privateKey = key;
    else if (key != nullptr)
        key->Release();
    if (publicKey != nullptr)
        *publicKey = pub;
    else if (pub != nullptr)
        pub->Release();
    if (publicKeyInfo != nullptr && !transaction.ReadObject(publicKeyInfo))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

template <class T>
HRESULT TokenProxy::CallCreate(Transaction& transaction, T** out)
{
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc) || rc < 0)
        return rc;
    T* object = nullptr;
    if (!ReadTokenObject(transaction, this, &object))
        return E_FAIL;
    if (out != nullptr)
        *out = object;
    else if (object != nullptr)
        object->Release();
    return rc;
}

HRESULT TokenProxy::createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo* key, const char* keyId,
                                        const char* label, unsigned int usage)
{
    Trace trace("%8x", "TokenProxy::createPrivateKeyObj");
    NotImplemented();
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), kToken + 24);
    transaction.WriteObject(key);
    transaction.WriteString(keyId);
    transaction.WriteString(label);
    transaction.Write32(usage);
    return trace.result = CallCreate(transaction, out);
}

HRESULT TokenProxy::createPublicKeyObj(TokenObjectPublicKey** out, const KeyInfo* key, const char* keyId,
                                       const char* label)
{
    Trace trace("%8x", "TokenProxy::createPublicKeyObj");
    NotImplemented();
    Transaction transaction;
    transaction.Init(Number(), kToken + 25);
    transaction.WriteObject(key);
    transaction.WriteString(keyId);
    transaction.WriteString(label);
    return trace.result = CallCreate(transaction, out);
}

HRESULT TokenProxy::createCertificateObj(TokenObjectCertificate** out, const Certificate* certificate,
                                         const char* keyId, const char* label)
{
    Trace trace("%8x", "TokenProxy::createCertificateObj");
    NotImplemented();
    Transaction transaction;
    transaction.Init(Number(), kToken + 26);
    transaction.WriteObject(certificate);
    transaction.WriteString(keyId);
    transaction.WriteString(label);
    return trace.result = CallCreate(transaction, out);
}

HRESULT TokenProxy::createDataObj(TokenObjectData** out, const OctetString* data, const char* label,
                                  unsigned char isPrivate)
{
    Trace trace("%8x", "TokenProxy::createDataObj");
    Transaction transaction;
    transaction.Init(Number(), kToken + 27);
    transaction.WriteOctetString(data);
    transaction.WriteString(label);
    transaction.Write8(isPrivate);
    return trace.result = CallCreate(transaction, out);
}

HRESULT TokenProxy::getRandom(unsigned char* buffer, unsigned long length)
{
    Trace trace("%8x", "TokenProxy::getRandom");
    if (length > kMaxWireBuffer)
        return trace.result = E_INVALIDARG;
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), kToken + 28);
    transaction.Write32(static_cast<uint32_t>(length));
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (transaction.Remaining() < length)
        return trace.result = E_FAIL;
    if (buffer != nullptr && length != 0)
        transaction.ReadBuffer(buffer, length);
    return trace.result = rc;
}

// ---- TokenStub ----

HRESULT TokenStub::Execute(Method method, TransactionStub& transaction)
{
    SecToken* token = m_object;
    switch (method) {
    case kToken + 7:
    case kToken + 16:
    case kToken + 21: {
        HRESULT rc = method == kToken + 7    ? token->isValid()
                     : method == kToken + 16 ? token->isInitialized()
                                             : token->deleteToken();
        transaction.WriteRC(rc);
        return rc;
    }
    case kToken + 8:
    case kToken + 9:
    case kToken + 10:
    case kToken + 11: {
        const char* text = nullptr;
        HRESULT rc = method == kToken + 8    ? token->getTokenProfile(&text)
                     : method == kToken + 9  ? token->getTokenName(&text)
                     : method == kToken + 10 ? token->getTokenLabel(&text)
                                             : token->getSerialNumber(&text);
        transaction.WriteRC(rc);
        transaction.WriteString(text);
        return rc;
    }
    case kToken + 12: {
        CK_TOKEN_INFO info;
        std::memset(&info, 0, sizeof(info));
        HRESULT rc = token->getP11TokenInfo(&info);
        unsigned char image[kTokenInfoImage];
        EncodeTokenInfo(info, image);
        transaction.WriteRC(rc);
        transaction.WriteBuffer(image, sizeof(image));
        return rc;
    }
    case kToken + 13: {
        bool wanted = false;
        if (!transaction.ReadBoolean(&wanted))
            return E_FAIL;
        const char* name = nullptr;
        token->getTokenName(&name);
        SECTRACE_FormatLnEx(nullptr, 5, 0, "TokenName: '%s'", name != nullptr ? name : "");
        TokenPIN* pin = nullptr;
        HRESULT rc = token->getCardPIN(wanted ? &pin : nullptr);
        uint32_t number = HandOut<TokenPINStub>(m_cache, pin);
        transaction.WriteRC(rc);
        if (wanted)
            transaction.Write32(number);
        return rc;
    }
    case kToken + 14: {
        bool wanted = false;
        uint32_t capacity = 0;
        if (!transaction.ReadBoolean(&wanted) || !transaction.Read32(&capacity) || capacity > kMaxWireCount)
            return E_FAIL;
        TokenPIN** pins = nullptr;
        if (wanted && capacity != 0) {
            pins = static_cast<TokenPIN**>(sec_calloc(capacity, sizeof(TokenPIN*)));
            if (pins == nullptr)
                return E_FAIL;
        }
        unsigned long count = capacity;
        HRESULT rc = token->getPINs(pins, &count);
        transaction.WriteRC(rc);
        transaction.Write32(static_cast<uint32_t>(count));
        if (pins != nullptr) {
            const unsigned long n = std::min<unsigned long>(count, capacity);
            for (uint32_t i = 0; i < capacity; ++i) {
                uint32_t number = HandOut<TokenPINStub>(m_cache, pins[i]);
                if (i < n)
                    transaction.Write32(number);
            }
            sec_free(pins);
        }
        return rc;
    }
    case kToken + 15: {
        bool arrayGiven = false;
        bool countGiven = false;
        uint32_t capacity = 0;
        uint32_t type = 0;
        const char* keyId = nullptr;
        const char* label = nullptr;
        if (!transaction.ReadBoolean(&arrayGiven) || !transaction.ReadBoolean(&countGiven))
            return E_FAIL;
        if (countGiven && (!transaction.Read32(&capacity) || capacity > kMaxWireCount))
            return E_FAIL;
        if (!transaction.Read32(&type) || !transaction.ReadString(&keyId) || !transaction.ReadString(&label))
            return E_FAIL;
        TokenObject** objects = nullptr;
        if (arrayGiven && countGiven && capacity != 0) {
            objects = static_cast<TokenObject**>(sec_calloc(capacity, sizeof(TokenObject*)));
            if (objects == nullptr)
                return E_FAIL;
        }
        const char* name = nullptr;
        token->getTokenName(&name);
        SECTRACE_FormatLnEx(nullptr, 5, 0, "TokenName: '%s' Keyid: '%s' Label: '%s'", name != nullptr ? name : "",
                            keyId != nullptr ? keyId : "", label != nullptr ? label : "");
        unsigned long count = capacity;
        HRESULT rc = token->getObjects(objects, countGiven ? &count : nullptr, static_cast<TOKEN_OBJECT_TYPE>(type),
                                       keyId, label);
        transaction.WriteRC(rc);
        if (countGiven)
            transaction.Write32(static_cast<uint32_t>(count));
        if (objects != nullptr) {
            const unsigned long n = std::min<unsigned long>(count, capacity);
            for (uint32_t i = 0; i < capacity; ++i) {
                uint32_t number = TokenObjectStub::GetID(m_cache, objects[i]);
                if (objects[i] != nullptr)
                    objects[i]->Release();
                if (i < n)
                    transaction.Write32(number);
            }
            sec_free(objects);
        }
        return rc;
    }
    case kToken + 17: {
        char** profiles = nullptr;
        HRESULT rc = token->getWritableProfiles(&profiles);
        transaction.WriteRC(rc);
        if (profiles != nullptr) {
            for (char** p = profiles; *p != nullptr; ++p)
                sec_free(*p);
            sec_free(profiles);
        }
        return rc;
    }
    case kToken + 18: {
        const char* profile = nullptr;
        if (!transaction.ReadString(&profile))
            return E_FAIL;
        ProfileInfo* info = nullptr;
        HRESULT rc = token->getInitInfo(profile, &info);
        transaction.WriteRC(rc);
        if (rc >= 0)
            WriteProfileInfo(transaction, info);
        if (info != nullptr)
            token->delInitInfo(&info);
        return rc;
    }
    case kToken + 20: {
        ProfileInfo* info = nullptr;
        if (!ReadProfileInfo(transaction, &info))
            return E_FAIL;
        HRESULT rc = token->initToken(info);
        FreeProfileInfo(info);
        transaction.WipeRequest();
        transaction.WriteRC(rc);
        return rc;
    }
    case kToken + 22: {
        uint32_t algorithm = 0;
        if (!transaction.Read32(&algorithm))
            return E_FAIL;
        const AllowedValues* allowed = nullptr;
        HRESULT rc = token->isAlgSupported(algorithm, &allowed);
        transaction.WriteRC(rc);
        if (allowed != nullptr) {
            for (uint32_t value : allowed->values)
                transaction.Write32(value);
        }
        return rc;
    }
    case kToken + 23: {
        WireValue<AlgId> algorithm;
        WireValue<SECAttribute> attributes;
        uint32_t keySize = 0;
        uint32_t usage = 0;
        const char* privateLabel = nullptr;
        const char* publicLabel = nullptr;
        if (!transaction.ReadObject(&algorithm) || !transaction.Read32(&keySize)
            || !transaction.ReadString(&privateLabel) || !transaction.Read32(&usage)
            || !transaction.ReadString(&publicLabel) || !transaction.ReadObject(&attributes))
            return E_FAIL;
        TokenObjectPrivateKey* key = nullptr;
        TokenObjectPublicKey* pub = nullptr;
        WireValue<KeyInfo> info;
        HRESULT rc =
            token->genKeyPair(algorithm, keySize, &key, privateLabel, usage, &pub, publicLabel, &info, attributes);
        uint32_t keyNumber = HandOut<TokenObjectPrivateKeyStub>(m_cache, key);
        uint32_t pubNumber = HandOut<TokenObjectPublicKeyStub>(m_cache, pub);
        transaction.WriteRC(rc);
        if (rc >= 0) {
            transaction.Write32(keyNumber);
            transaction.Write32(pubNumber);
            transaction.WriteObject(info.get());
        }
        return rc;
    }
    case kToken + 24:
    case kToken + 25:
    case kToken + 26:
    case kToken + 27: {
        WireValue<KeyInfo> key;
        WireValue<Certificate> certificate;
        OctetString data {};
        const char* first = nullptr;
        const char* second = nullptr;
        uint32_t usage = 0;
        uint8_t isPrivate = 0;
        bool ok = true;
        if (method == kToken + 24 || method == kToken + 25)
            ok = transaction.ReadObject(&key);
        else if (method == kToken + 26)
            ok = transaction.ReadObject(&certificate);
        else
            ok = transaction.ReadOctetString(data);
        ok = ok && transaction.ReadString(&first);
        if (method == kToken + 27)
            ok = ok && transaction.Read8(&isPrivate);
        else
            ok = ok && transaction.ReadString(&second);
        if (method == kToken + 24)
            ok = ok && transaction.Read32(&usage);
        if (!ok)
            return E_FAIL;
        HRESULT rc = S_OK;
        uint32_t number = 0;
        if (method == kToken + 24) {
            TokenObjectPrivateKey* object = nullptr;
            rc = token->createPrivateKeyObj(&object, key, first, second, usage);
            number = HandOut<TokenObjectPrivateKeyStub>(m_cache, object);
            transaction.WipeRequest();
        } else if (method == kToken + 25) {
            TokenObjectPublicKey* object = nullptr;
            rc = token->createPublicKeyObj(&object, key, first, second);
            number = HandOut<TokenObjectPublicKeyStub>(m_cache, object);
        } else if (method == kToken + 26) {
            TokenObjectCertificate* object = nullptr;
            rc = token->createCertificateObj(&object, certificate, first, second);
            number = HandOut<TokenObjectCertificateStub>(m_cache, object);
        } else {
            TokenObjectData* object = nullptr;
            rc = token->createDataObj(&object, &data, first, isPrivate & 1);
            number = HandOut<TokenObjectDataStub>(m_cache, object);
        }
        transaction.WriteRC(rc);
        if (rc >= 0)
            transaction.Write32(number);
        return rc;
    }
    case kToken + 28: {
        uint32_t length = 0;
        if (!transaction.Read32(&length) || length > kMaxWireBuffer)
            return E_FAIL;
        unsigned char* buffer = nullptr;
        if (length != 0) {
            buffer = static_cast<unsigned char*>(sec_calloc(length, 1));
            if (buffer == nullptr)
                return E_FAIL;
        }
        HRESULT rc = token->getRandom(buffer, length);
        transaction.WriteRC(rc);
        if (buffer != nullptr) {
            transaction.WriteBuffer(buffer, length);
            OPENSSL_cleanse(buffer, length);
            sec_free(buffer);
        }
        return rc;
    }
    default:
        return -1;
    }
}

}  // namespace ZELK::PSESVC

#include "pse_base.h"

#include <cstring>

#include "zelk_secattribute.h"

namespace ZELK::ZELKPSE {
namespace {

// The value of the last attribute with the id whose value has the type.
const void* LastValue(SECAttribute* chain, uint32_t id, unsigned int type)
{
    const void* value = nullptr;
    for (SECAttribute* a = chain; a != nullptr; a = a->next) {
        bool ok = false;
        if (a->id == id)
            value = TypedValue(a, type, ok);
    }
    return value;
}

bool SameText(const char* a, const char* b)
{
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

}  // namespace

HRESULT AppendInfoCopy(SET_OF_PersonalCertificateInfo**& cursor, const PersonalCertificateInfo* info)
{
    const SEC_TYPE_TABLE* table = TypeTable(SEC_TYPE_PersonalCertificateInfo);
    if (table == nullptr || table->copy == nullptr)
        return E_FAIL;
    void* copy = nullptr;
    HRESULT hr = table->copy(info, &copy);
    if (FAILED(hr) || copy == nullptr)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    hr = AppendNode(SEC_TYPE_SET_OF_PersonalCertificateInfo, cursor, static_cast<PersonalCertificateInfo*>(copy));
    if (FAILED(hr))
        table->free(copy);
    return hr;
}

HRESULT AppendCertificate(SET_OF_Certificate**& cursor, Certificate* certificate)
{
    certificate->AddRef();
    HRESULT hr = AppendNode(SEC_TYPE_SET_OF_Certificate, cursor, certificate);
    if (FAILED(hr))
        certificate->Release();
    return hr;
}

std::shared_ptr<const TokenContents> Base::Contents() const
{
    std::lock_guard<std::mutex> lock(m_contentsLock);
    return m_contents;
}

void Base::SetContents(std::shared_ptr<const TokenContents> contents)
{
    std::shared_ptr<const TokenContents> old;
    {
        std::lock_guard<std::mutex> lock(m_contentsLock);
        old = std::move(m_contents);
        m_contents = std::move(contents);
    }
}

HRESULT Base::getOwnCertificate(const History*, SECAttribute* filter, SET_OF_PersonalCertificateInfo** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    std::shared_ptr<const TokenContents> contents = Contents();
    SET_OF_PersonalCertificateInfo** cursor = ListTail(out);
    for (SET_OF_PersonalCertificateInfo* node = contents->own.get(); node != nullptr; node = node->next) {
        if (node->element == nullptr || testOwnCertificate(node->element, filter) != 1)
            continue;
        HRESULT hr = AppendInfoCopy(cursor, node->element);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT Base::KeyObject(SECAttribute* attributes, std::shared_ptr<const TokenContents>& contents,
                        TokenObjectPrivateKey** key)
{
    *key = nullptr;
    contents = Contents();
    if (!contents->token)
        return E_TOKEN_NOKEY;
    const auto* keyId = static_cast<const char*>(LastValue(attributes, SEC_ATTR_KEY_ID, SEC_TYPE_String));
    TokenObject* object = nullptr;
    unsigned long count = 1;
    HRESULT hr = contents->token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, keyId, nullptr);
    if (FAILED(hr) || count == 0 || object == nullptr) {
        if (object != nullptr && count != 0)
            object->Release();
        return E_TOKEN_NOKEY;
    }
    *key = static_cast<TokenObjectPrivateKey*>(object);
    return S_OK;
}

HRESULT Base::encryptDigest(const History*, SECAttribute* attributes, const unsigned char* digest,
                            unsigned long digestLength, unsigned char* out, unsigned long* outLength)
{
    std::shared_ptr<const TokenContents> contents;
    TokenObjectPrivateKey* key = nullptr;
    HRESULT hr = KeyObject(attributes, contents, &key);
    if (FAILED(hr))
        return hr;
    const auto* algorithm =
        static_cast<const AlgId*>(LastValue(attributes, SEC_ATTR_SIGNATURE_ALGORITHM, SEC_TYPE_AlgId));
    hr = key->sign(algorithm, 1, digest, digestLength, out, outLength, attributes);
    key->Release();
    return hr;
}

HRESULT Base::decryptKey(const History*, SECAttribute* attributes, const unsigned char* in, unsigned long inLength,
                         unsigned char* out, unsigned long* outLength)
{
    std::shared_ptr<const TokenContents> contents;
    TokenObjectPrivateKey* key = nullptr;
    HRESULT hr = KeyObject(attributes, contents, &key);
    if (FAILED(hr))
        return hr;
    hr = key->decrypt(nullptr, in, inLength, out, outLength, attributes);
    key->Release();
    return hr;
}

HRESULT Base::searchCertificate(SECAttribute* filter, SET_OF_Certificate** out)
{
    if (filter == nullptr || filter->id != SEC_ATTR_SUBJECT || out == nullptr)
        return S_OK;
    bool ok = false;
    const void* name = TypedValue(filter, SEC_TYPE_DName, ok);
    if (name == nullptr)
        return S_OK;
    SET_OF_Certificate** cursor = ListTail(out);
    for (SET_OF_Certificate* node = m_trusted.get(); node != nullptr; node = node->next) {
        if (node->element == nullptr || !SameValue(SEC_TYPE_DName, node->element->getSubject(), name))
            continue;
        HRESULT hr = AppendCertificate(cursor, node->element);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT Base::readApplObject(const char*, OctetString** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    return E_PSE_NOTSUPPORTED;
}

HRESULT Base::listApplObjects(SET_OF_String** out)
{
    if (out != nullptr)
        *out = nullptr;
    return S_OK;
}

HRESULT Base::getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out)
{
    AuxRefPtr<SecToken> token;
    HRESULT hr = getTokenByName(&token, tokenName, 0);
    if (FAILED(hr))
        return hr;
    if (out == nullptr)
        return E_PSE_NOARG;
    TokenObject* object = nullptr;
    unsigned long count = 1;
    hr = token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, keyId, nullptr);
    *out = count != 0 ? static_cast<TokenObjectPrivateKey*>(object) : nullptr;
    return hr;
}

HRESULT Base::getCertificate(const char* tokenName, const char* keyId, const char* label, TokenObjectCertificate** out)
{
    AuxRefPtr<SecToken> token;
    HRESULT hr = getTokenByName(&token, tokenName, 0);
    if (FAILED(hr))
        return hr;
    if (out == nullptr)
        return E_PSE_NOARG;
    TokenObject* object = nullptr;
    unsigned long count = 1;
    hr = token->getObjects(&object, &count, TOKEN_OBJECT_CERTIFICATE, keyId, label);
    *out = count != 0 ? static_cast<TokenObjectCertificate*>(object) : nullptr;
    return hr;
}

namespace {

// `held` with a reference when its name (read by `nameOf`) is `name`.
template <class T, class NameOf>
HRESULT HandOutByName(T** out, const char* name, T* held, NameOf nameOf)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    if (name == nullptr || name[0] == '\0')
        return E_PSE_NOARG;
    const char* own = nullptr;
    if (held == nullptr || FAILED(nameOf(held, &own)) || !SameText(own, name))
        return E_PSE_NOTFOUND;
    *out = held;
    held->AddRef();
    return S_OK;
}

}  // namespace

HRESULT Base::getSlotByName(SecSlot** out, const char* name, unsigned char)
{
    std::shared_ptr<const TokenContents> contents = Contents();
    return HandOutByName<SecSlot>(out, name, contents->slot,
                                  [](SecSlot* slot, const char** own) { return slot->getSlotName(own); });
}

HRESULT Base::getTokenByName(SecToken** out, const char* name, unsigned char)
{
    std::shared_ptr<const TokenContents> contents = Contents();
    return HandOutByName<SecToken>(out, name, contents->token,
                                   [](SecToken* token, const char** own) { return token->getTokenName(own); });
}

HRESULT Base::getSlots(SecSlot** slots, unsigned long* count)
{
    std::shared_ptr<const TokenContents> contents = Contents();
    if (!contents->slot) {
        if (count != nullptr)
            *count = 0;
        return S_OK;
    }
    if (slots != nullptr && count != nullptr && *count != 0) {
        slots[0] = contents->slot;
        slots[0]->AddRef();
    }
    if (count != nullptr)
        *count = 1;
    return S_OK;
}

HRESULT Base::isInTrustedCerts(const Certificate* certificate)
{
    for (SET_OF_Certificate* node = m_trusted.get(); node != nullptr; node = node->next)
        if (SameValue(SEC_TYPE_Certificate, node->element, certificate))
            return 1;
    return 0;
}

HRESULT Base::getAllTrustedCerts(SET_OF_Certificate** out)
{
    return getTrustedCertList(out);
}

HRESULT Base::getTrustedCertList(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    if (m_trusted.get() == nullptr)
        return S_OK;
    const SEC_TYPE_TABLE* table = TypeTable(SEC_TYPE_SET_OF_Certificate);
    if (table == nullptr || table->copy == nullptr)
        return E_FAIL;
    void* copy = nullptr;
    HRESULT hr = table->copy(m_trusted.get(), &copy);
    *out = static_cast<SET_OF_Certificate*>(copy);
    return hr;
}

HRESULT Base::getCertInfoList(SET_OF_PersonalCertificateInfo** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    std::shared_ptr<const TokenContents> contents = Contents();
    if (contents->own.get() == nullptr)
        return S_OK;
    const SEC_TYPE_TABLE* table = TypeTable(SEC_TYPE_SET_OF_PersonalCertificateInfo);
    if (table == nullptr || table->copy == nullptr)
        return E_FAIL;
    void* copy = nullptr;
    HRESULT hr = table->copy(contents->own.get(), &copy);
    *out = static_cast<SET_OF_PersonalCertificateInfo*>(copy);
    return hr;
}

HRESULT Base::control(SECAttribute* in, SECAttribute* out)
{
    const char* action = SECAttributeArray_GetString(in, SEC_ATTR_ACTION);
    if (action == nullptr)
        return S_OK;
    if (std::strcmp(action, "ConnectionStart") == 0) {
        SECAttributeArray_SetString(out, SEC_ATTR_CONNECTION_CONFIG, "sr-ecdhe:cl-rsa:1993");
    } else if (std::strcmp(action, "GetCredentials") == 0) {
        std::shared_ptr<const TokenContents> contents = Contents();
        if (contents->own.get() != nullptr && contents->own.get()->element != nullptr)
            SECAttributeArray_SetPersonalCertificateInfo(out, SEC_ATTR_CREDENTIAL, contents->own.get()->element);
        SECAttributeArray_SetInteger(out, SEC_ATTR_CREDENTIAL_TEMP_KEYS, 0);
    }
    return S_OK;
}

}  // namespace ZELK::ZELKPSE

// Doubles of the PSE and the security context.
#include <algorithm>
#include <cstring>

#include "qev_doubles.h"

namespace kestrin::qevtest {

namespace {

// Appends at a cursor as the library's lists grow: a new node through entry
// 7 in front of what the cursor holds, then the cursor moves to its next.
template <class Node, class Element>
HRESULT AppendAt(unsigned int listType, Node**& cursor, Element* element)
{
    HRESULT hr = Type(listType)->new_node(reinterpret_cast<void**>(cursor));
    if (FAILED(hr))
        return hr;
    (*cursor)->element = element;
    cursor = &(*cursor)->next;
    return S_OK;
}

HRESULT AppendCertificates(const std::vector<Certificate*>& certificates, SET_OF_Certificate** out)
{
    for (Certificate* c : certificates) {
        c->AddRef();
        HRESULT hr = AppendAt(SEC_TYPE_SET_OF_Certificate, out, c);
        if (FAILED(hr)) {
            c->Release();
            return hr;
        }
    }
    return S_OK;
}

bool SameText(const char* a, const char* b)
{
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

}  // namespace

FakePSE::FakePSE() : Fake<PSE>("FakePSE") {}

FakePSE::~FakePSE()
{
    for (PersonalCertificateInfo* info : m_own)
        Type(SEC_TYPE_PersonalCertificateInfo)->free(info);
    for (SecSlot* s : m_slots)
        s->Release();
    for (SecToken* t : m_tokens)
        t->Release();
    for (Certificate* c : m_trusted)
        c->Release();
    if (m_events != nullptr)
        m_events->Release();
}

void FakePSE::AddOwnCertificate(PersonalCertificateInfo* info)
{
    Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(info);
    m_own.push_back(info);
}

void FakePSE::AddSlot(SecSlot* slot)
{
    slot->AddRef();
    m_slots.push_back(slot);
}

void FakePSE::AddToken(SecToken* token)
{
    token->AddRef();
    m_tokens.push_back(token);
}

void FakePSE::AddTrustedCertificate(Certificate* certificate)
{
    certificate->AddRef();
    m_trusted.push_back(certificate);
}

void FakePSE::SetSlotEvents(SecSlotEvents* events)
{
    if (events != nullptr)
        events->AddRef();
    if (m_events != nullptr)
        m_events->Release();
    m_events = events;
}

HRESULT FakePSE::getOwnCertificate(const History*, SECAttribute* filter, SET_OF_PersonalCertificateInfo** out)
{
    HRESULT hr = S_OK;
    if (Scripted("getOwnCertificate", hr))
        return hr;
    if (out == nullptr)
        return E_PSE_NOARG;
    for (PersonalCertificateInfo* info : m_own) {
        if (ownFilter && !ownFilter(info, filter))
            continue;
        Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(info);
        if (FAILED(hr = AppendAt(SEC_TYPE_SET_OF_PersonalCertificateInfo, out, info))) {
            Type(SEC_TYPE_PersonalCertificateInfo)->free(info);
            return hr;
        }
    }
    return S_OK;
}

HRESULT FakePSE::encryptDigest(const History*, SECAttribute* attributes, const unsigned char* digest,
                               unsigned long digestLength, unsigned char* out, unsigned long* outLength)
{
    HRESULT hr = S_OK;
    if (Scripted("encryptDigest", hr))
        return hr;
    return onEncryptDigest ? onEncryptDigest(attributes, digest, digestLength, out, outLength) : E_NOTIMPL;
}

HRESULT FakePSE::decryptKey(const History*, SECAttribute* attributes, const unsigned char* in, unsigned long inLength,
                            unsigned char* out, unsigned long* outLength)
{
    HRESULT hr = S_OK;
    if (Scripted("decryptKey", hr))
        return hr;
    return onDecryptKey ? onDecryptKey(attributes, in, inLength, out, outLength) : E_NOTIMPL;
}

HRESULT FakePSE::searchCertificate(SECAttribute*, SET_OF_Certificate** out)
{
    HRESULT hr = S_OK;
    if (Scripted("searchCertificate", hr))
        return hr;
    return out != nullptr ? AppendCertificates(m_trusted, out) : E_PSE_NOARG;
}

HRESULT FakePSE::readApplObject(const char* name, OctetString** out)
{
    if (out == nullptr)
        return Answer("readApplObject", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("readApplObject", hr))
        return hr;
    auto it = name != nullptr ? m_applObjects.find(name) : m_applObjects.end();
    if (it == m_applObjects.end())
        return E_PSE_NOTFOUND;
    OctetString value {it->second.size(), it->second.data()};
    void* copy = nullptr;
    hr = Type(SEC_TYPE_OctetString)->copy(&value, &copy);
    *out = static_cast<OctetString*>(copy);
    return hr;
}

HRESULT FakePSE::writeApplObject(const char* name, OctetString* value)
{
    HRESULT hr = S_OK;
    if (Scripted("writeApplObject", hr))
        return hr;
    if (name == nullptr)
        return E_PSE_NOARG;
    if (value == nullptr)
        m_applObjects.erase(name);
    else
        m_applObjects[name].assign(value->data, value->data + value->length);
    return S_OK;
}

HRESULT FakePSE::listApplObjects(SET_OF_String** out)
{
    if (out == nullptr)
        return Answer("listApplObjects", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("listApplObjects", hr))
        return hr;
    SET_OF_String** cursor = out;
    for (const auto& entry : m_applObjects) {
        void* name = nullptr;
        if (FAILED(hr = Type(SEC_TYPE_String)->copy(entry.first.c_str(), &name))
            || FAILED(hr = AppendAt(SEC_TYPE_SET_OF_String, cursor, static_cast<char*>(name)))) {
            Type(SEC_TYPE_String)->free(name);
            Type(SEC_TYPE_SET_OF_String)->free(*out);
            *out = nullptr;
            return hr;
        }
    }
    return S_OK;
}

HRESULT FakePSE::TokenObjectOf(const char* tokenName, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label,
                               TokenObject** out)
{
    for (SecToken* token : m_tokens) {
        const char* name = nullptr;
        token->getTokenName(&name);
        if (!SameText(name, tokenName))
            continue;
        unsigned long count = 1;
        HRESULT hr = token->getObjects(out, &count, type, keyId, label);
        if (FAILED(hr))
            return hr;
        return count != 0 && *out != nullptr ? S_OK : E_PSE_NOTFOUND;
    }
    return E_PSE_NOTFOUND;
}

HRESULT FakePSE::getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out)
{
    if (out == nullptr)
        return Answer("getPrivateKey", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getPrivateKey", hr))
        return hr;
    TokenObject* object = nullptr;
    hr = TokenObjectOf(tokenName, TOKEN_OBJECT_PRIVATE_KEY, keyId, nullptr, &object);
    *out = static_cast<TokenObjectPrivateKey*>(object);
    return hr;
}

HRESULT FakePSE::getCertificate(const char* tokenName, const char* keyId, const char* label,
                                TokenObjectCertificate** out)
{
    if (out == nullptr)
        return Answer("getCertificate", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getCertificate", hr))
        return hr;
    TokenObject* object = nullptr;
    hr = TokenObjectOf(tokenName, TOKEN_OBJECT_CERTIFICATE, keyId, label, &object);
    *out = static_cast<TokenObjectCertificate*>(object);
    return hr;
}

HRESULT FakePSE::searchSlotInfos(SET_OF_SecSlotInfo** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("searchSlotInfos", E_PSE_NOTSUPPORTED);
}

HRESULT FakePSE::writeSlotInfos(SET_OF_SecSlotInfo*)
{
    return Answer("writeSlotInfos", E_PSE_NOTSUPPORTED);
}

HRESULT FakePSE::readSlotInfos(SET_OF_SecSlotInfo** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("readSlotInfos", E_PSE_NOTSUPPORTED);
}

HRESULT FakePSE::getSlotByName(SecSlot** out, const char* name, unsigned char)
{
    if (out == nullptr)
        return Answer("getSlotByName", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getSlotByName", hr))
        return hr;
    for (SecSlot* slot : m_slots) {
        const char* slotName = nullptr;
        slot->getSlotName(&slotName);
        if (SameText(slotName, name)) {
            slot->AddRef();
            *out = slot;
            return S_OK;
        }
    }
    return E_PSE_NOTFOUND;
}

HRESULT FakePSE::getSlots(SecSlot** slots, unsigned long* count)
{
    HRESULT hr = S_OK;
    if (Scripted("getSlots", hr))
        return hr;
    if (count == nullptr)
        return E_PSE_NOARG;
    for (unsigned long i = 0; slots != nullptr && i < *count; ++i) {
        slots[i] = i < m_slots.size() ? m_slots[i] : nullptr;
        if (slots[i] != nullptr)
            slots[i]->AddRef();
    }
    *count = m_slots.size();
    return S_OK;
}

HRESULT FakePSE::getTokenByName(SecToken** out, const char* name, unsigned char)
{
    if (out == nullptr)
        return Answer("getTokenByName", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getTokenByName", hr))
        return hr;
    for (SecToken* token : m_tokens) {
        const char* tokenName = nullptr;
        token->getTokenName(&tokenName);
        if (SameText(tokenName, name)) {
            token->AddRef();
            *out = token;
            return S_OK;
        }
    }
    return E_PSE_NOTFOUND;
}

HRESULT FakePSE::getSlotEvents(SecSlotEvents** out)
{
    if (out == nullptr)
        return Answer("getSlotEvents", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = Answer("getSlotEvents", m_events != nullptr ? S_OK : E_PSE_NOTSUPPORTED);
    if (SUCCEEDED(hr) && m_events != nullptr) {
        m_events->AddRef();
        *out = m_events;
    }
    return hr;
}

HRESULT FakePSE::isInTrustedCerts(const Certificate* certificate)
{
    HRESULT hr = S_OK;
    if (Scripted("isInTrustedCerts", hr))
        return hr;
    for (Certificate* c : m_trusted)
        if (certificate != nullptr && c->cmp(certificate) == 0)
            return 1;
    return 0;
}

HRESULT FakePSE::getAllTrustedCerts(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return Answer("getAllTrustedCerts", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getAllTrustedCerts", hr))
        return hr;
    SET_OF_Certificate** cursor = out;
    return AppendCertificates(m_trusted, cursor);
}

HRESULT FakePSE::getTrustedCertList(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return Answer("getTrustedCertList", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getTrustedCertList", hr))
        return hr;
    SET_OF_Certificate** cursor = out;
    return AppendCertificates(m_trusted, cursor);
}

HRESULT FakePSE::addTrustedCertListItem(const Certificate* certificate)
{
    HRESULT hr = S_OK;
    if (Scripted("addTrustedCertListItem", hr))
        return hr;
    if (certificate == nullptr)
        return E_PSE_NOARG;
    AddTrustedCertificate(const_cast<Certificate*>(certificate));
    return S_OK;
}

HRESULT FakePSE::deleteTrustedCertListItem(const DName* name, unsigned long)
{
    HRESULT hr = S_OK;
    if (Scripted("deleteTrustedCertListItem", hr))
        return hr;
    const SEC_TYPE_TABLE* names = Type(SEC_TYPE_DName);
    auto match = [&](Certificate* c) { return names->compare(c->getSubject(), name) == 0; };
    auto first = std::stable_partition(m_trusted.begin(), m_trusted.end(), [&](Certificate* c) { return !match(c); });
    if (first == m_trusted.end())
        return S_FALSE;
    for (auto it = first; it != m_trusted.end(); ++it)
        (*it)->Release();
    m_trusted.erase(first, m_trusted.end());
    return S_OK;
}

HRESULT FakePSE::getCertInfoList(SET_OF_PersonalCertificateInfo** out)
{
    if (out == nullptr)
        return Answer("getCertInfoList", E_PSE_NOARG);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getCertInfoList", hr))
        return hr;
    SET_OF_PersonalCertificateInfo** cursor = out;
    for (PersonalCertificateInfo* info : m_own) {
        Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(info);
        if (FAILED(hr = AppendAt(SEC_TYPE_SET_OF_PersonalCertificateInfo, cursor, info))) {
            Type(SEC_TYPE_PersonalCertificateInfo)->free(info);
            Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(*out);
            *out = nullptr;
            return hr;
        }
    }
    return S_OK;
}

HRESULT FakePSE::addCertInfoListItem(const PersonalCertificateInfo* info)
{
    HRESULT hr = S_OK;
    if (Scripted("addCertInfoListItem", hr))
        return hr;
    void* copy = nullptr;
    if (info == nullptr || FAILED(hr = Type(SEC_TYPE_PersonalCertificateInfo)->copy(info, &copy)))
        return info == nullptr ? E_PSE_NOARG : hr;
    m_own.push_back(static_cast<PersonalCertificateInfo*>(copy));
    return S_OK;
}

HRESULT FakePSE::deleteCertInfoListItem(const char* tokenName, const char* keyId, const char*, unsigned long)
{
    HRESULT hr = S_OK;
    if (Scripted("deleteCertInfoListItem", hr))
        return hr;
    auto keep = [&](PersonalCertificateInfo* info) {
        return !(SameText(info->tokenName, tokenName) && SameText(info->keyId, keyId));
    };
    auto first = std::stable_partition(m_own.begin(), m_own.end(), keep);
    if (first == m_own.end())
        return S_FALSE;
    for (auto it = first; it != m_own.end(); ++it)
        Type(SEC_TYPE_PersonalCertificateInfo)->free(*it);
    m_own.erase(first, m_own.end());
    return S_OK;
}

HRESULT FakePSE::getPasswordList(SET_OF_PIN_Info** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("getPasswordList");
}

HRESULT FakePSE::addPasswordListItem(const char*, const char*, const char*, const char*, const char*)
{
    return Answer("addPasswordListItem");
}

HRESULT FakePSE::deletePasswordListItem(const char*, const char*, const char*, const char*, const char*, unsigned long)
{
    return Answer("deletePasswordListItem");
}

HRESULT FakePSE::releaseTokenCache(const char*)
{
    return Answer("releaseTokenCache");
}

HRESULT FakePSE::getPseFileName(const char** name)
{
    if (name != nullptr)
        *name = fileName.c_str();
    return Answer("getPseFileName");
}

HRESULT FakePSE::cred_list(SET_OF_String** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("cred_list", E_NOTIMPL);
}

HRESULT FakePSE::cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*)
{
    return Answer("cred_getParameters", E_NOTIMPL);
}

HRESULT FakePSE::cred_initCredUpdate()
{
    return Answer("cred_initCredUpdate", E_NOTIMPL);
}

HRESULT FakePSE::loginBySystemParameters(const char*)
{
    return Answer("loginBySystemParameters");
}

HRESULT FakePSE::loginWithPassword(const char*, const unsigned char*, unsigned long)
{
    return Answer("loginWithPassword");
}

HRESULT FakePSE::cred_delete(const char*)
{
    return Answer("cred_delete", E_NOTIMPL);
}

HRESULT FakePSE::cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*, unsigned long)
{
    return Answer("cred_addPassword", E_NOTIMPL);
}

HRESULT FakePSE::cred_addSystemParameters(const char*, const char*)
{
    return Answer("cred_addSystemParameters", E_NOTIMPL);
}

HRESULT FakePSE::cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long)
{
    return Answer("cred_change", E_NOTIMPL);
}

HRESULT FakePSE::cred_finalCredUpdate()
{
    return Answer("cred_finalCredUpdate", E_NOTIMPL);
}

HRESULT FakePSE::control(SECAttribute* in, SECAttribute* out)
{
    HRESULT hr = S_OK;
    if (Scripted("control", hr))
        return hr;
    return onControl ? onControl(in, out) : S_OK;
}

// Security context

FakeASC::FakeASC(PSE* pse, PSE* ownPSE) : Fake<ASC>("FakeASC"), m_pse(pse), m_ownPSE(ownPSE)
{
    SetResult("getCertDB", E_NOTIMPL);
    SetResult("getVerificationContext", E_NOTIMPL);
    if (m_pse != nullptr)
        m_pse->AddRef();
    if (m_ownPSE != nullptr)
        m_ownPSE->AddRef();
}

FakeASC::~FakeASC()
{
    if (m_pse != nullptr)
        m_pse->Release();
    if (m_ownPSE != nullptr)
        m_ownPSE->Release();
}

namespace {

HRESULT HandOut(PSE* pse, PSE** out, HRESULT hr)
{
    *out = nullptr;
    if (SUCCEEDED(hr) && pse != nullptr) {
        pse->AddRef();
        *out = pse;
    }
    return hr;
}

}  // namespace

HRESULT FakeASC::getPSE(PSE** out)
{
    if (out == nullptr)
        return Answer("getPSE", E_POINTER);
    return HandOut(m_pse, out, Answer("getPSE", m_pse != nullptr ? S_OK : E_PSE_NOPSE));
}

HRESULT FakeASC::getOwnPSE(PSE** out)
{
    if (out == nullptr)
        return Answer("getOwnPSE", E_POINTER);
    return HandOut(m_ownPSE, out, Answer("getOwnPSE", m_ownPSE != nullptr ? S_OK : E_PSE_NOPSE));
}

HRESULT FakeASC::getCertDB(void*)
{
    return Answer("getCertDB");
}

HRESULT FakeASC::getVerificationContext(void*)
{
    return Answer("getVerificationContext");
}

HRESULT FakeASC::createURLContext(url_context** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("createURLContext", E_NOTIMPL);
}

HRESULT FakeASC::getSSLContext(ssl_context** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("getSSLContext", E_NOTIMPL);
}

}  // namespace kestrin::qevtest

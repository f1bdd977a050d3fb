#include "token_kv_persistent.h"

#include <openssl/crypto.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "../core/zelkpse.h"
#include "keystore.h"
#include "qev_pse.h"
#include "qev_random.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_baseCore = nullptr;
CLoadAPI s_loadBaseCore("zelkbase", ZELKBASE_CORE_API, &s_baseCore);
API_COMMON* s_libraryPse = nullptr;
CLoadAPI s_loadLibraryPse(nullptr, "SEC_PSE_1", &s_libraryPse);
API_COMMON* s_random = nullptr;
CLoadAPI s_loadRandom(nullptr, SEC_RANDOM_API, &s_random);

constexpr char kCachePath[] = "PSECache";
constexpr char kFriendlyName[] = "Hearthgate";
constexpr char kPasswordService[] = "QEV Hearthgate";
constexpr char kPasswordAccount[] = "hgt";
constexpr char kKeyId[] = "01";
constexpr uint64_t kPasswordLength = 32;
// Longest stored password taken.
constexpr size_t kMaxPasswordLength = 1024;

const SEC_TYPE_TABLE* Types(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

template <class T>
void FreeValue(unsigned int index, T* value)
{
    const SEC_TYPE_TABLE* table = Types(index);
    if (value != nullptr && table != nullptr)
        table->free(value);
}

const SEC_PSE_LIBRARY_TABLE* LibraryPse()
{
    return static_cast<const SEC_PSE_LIBRARY_TABLE*>(ZELK_ApiCast<SEC_PSE_TABLE>(s_libraryPse));
}

void Burn(char* text)
{
    if (text != nullptr) {
        OPENSSL_cleanse(text, std::strlen(text));
        sec_free(text);
    }
}

// Appends a copy (a reference) of `cert` unless an equal one is listed.
void AddOnce(SET_OF_Certificate** list, const Certificate* cert)
{
    const SEC_TYPE_TABLE* certs = Types(SEC_TYPE_Certificate);
    const SEC_TYPE_TABLE* nodes = Types(SEC_TYPE_SET_OF_Certificate);
    if (cert == nullptr || certs == nullptr || nodes == nullptr)
        return;
    SET_OF_Certificate** tail = list;
    for (; *tail != nullptr; tail = &(*tail)->next)
        if (certs->compare((*tail)->element, cert) == 0)
            return;
    void* node = nullptr;
    if (FAILED(nodes->new_node(&node)) || node == nullptr)
        return;
    auto* added = static_cast<SET_OF_Certificate*>(node);
    void* copy = nullptr;
    certs->copy(cert, &copy);
    added->element = static_cast<Certificate*>(copy);
    added->next = nullptr;
    *tail = added;
}

std::unique_ptr<kestrin::keystore::KeyStore> OpenKeyStore()
{
    std::unique_ptr<kestrin::keystore::KeyStore> store;
    if (FAILED(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &store)))
        store.reset();
    return store;
}

}  // namespace

CToken_KVPersistent::CToken_KVPersistent()
{
    const SEC_PSE_LIBRARY_TABLE* pse = LibraryPse();
    char* name = nullptr;
    if (pse != nullptr && SUCCEEDED(pse->qev_create_memory_PSE(&name)) && name != nullptr) {
        m_memPSE = name;
        sec_free(name);
    }
}

CToken_KVPersistent::~CToken_KVPersistent()
{
    const SEC_PSE_LIBRARY_TABLE* pse = LibraryPse();
    if (pse != nullptr && !m_memPSE.IsEmpty())
        pse->qev_delete_memory_PSE(m_memPSE);
}

IGUIModelToken_Type CToken_KVPersistent::GetTokenType()
{
    return static_cast<IGUIModelToken_Type>(3);
}

HRESULT CToken_KVPersistent::Init(SecToken* token, CModelToken* model, const char* readerName)
{
    HRESULT hr = CToken_KV::Init(token, model, readerName);
    const unsigned autoEnroll = m_policy ? m_policy->GetDWORD(POL::KESTRIN::PROFILE::AUTO_ENROLL) & 0xFF : 0;
    SECTRACE_FormatLn(nullptr, 3, "CToken_KVPersistent: AutoEnroll: %i", static_cast<int>(autoEnroll));
    if (autoEnroll == 0)
        AddTask("CToken_KVPersistent::LoginFromStore",
                static_cast<int (CToken_KV::*)()>(&CToken_KVPersistent::LoginFromStoreTask), 0, TIME_UNIT_MILLISECONDS);
    return hr;
}

int CToken_KVPersistent::LoginImpl(ICredUI* dialog, bool loginAs, const wchar_t* user)
{
    if (SUCCEEDED(LoginFromStore()))
        return S_OK;
    return CToken_KV::LoginImpl(dialog, loginAs, user);
}

void CToken_KVPersistent::ClearIdentity()
{
    m_key.Free();
    m_cert.Free();
    m_caCerts.Free();
    m_rootCert.Free();
}

int CToken_KVPersistent::Logout(ICredUI* dialog)
{
    int rc = CToken_KV::Logout(dialog);
    if (SUCCEEDED(rc))
        ClearIdentity();
    return rc;
}

HRESULT CToken_KVPersistent::UpdateToken(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                                         const Certificate* rootCert)
{
    HRESULT hr = CToken_KV::UpdateToken(key, cert, caCerts, rootCert);
    if (FAILED(hr))
        return hr;
    ClearIdentity();
    AuxCpy(key, &m_key);
    m_cert = const_cast<Certificate*>(cert);
    AuxCpy(caCerts, &m_caCerts);
    m_rootCert = const_cast<Certificate*>(rootCert);
    SecToken* memory = nullptr;
    CreateMemPSE(m_memPSE, &memory);
    UpdateMemPSE(memory);
    if (memory != nullptr)
        memory->Release();
    // Every new enrolment comes with a new storage password.
    DeleteStoredPKCS12Password();
    OctetString* p12 = nullptr;
    if (FAILED(Serialize(m_key, m_cert, m_caCerts, m_rootCert, &p12)))
        p12 = nullptr;
    SetPSEToRegistry(p12);
    FreeValue(SEC_TYPE_OctetString, p12);
    return hr;
}

HRESULT CToken_KVPersistent::LoginFromStore()
{
    HRESULT hr = GetPSEFromRegistry();
    if (FAILED(hr))
        return hr;
    m_cancelRequested = false;
    ClearScheduledTasks(true);
    RegisterOwnCerts(false);
    RefreshModel();
    ConfigureScheduledTasks(1);
    DeleteSession(0);
    return S_OK;
}

int CToken_KVPersistent::LoginFromStoreTask()
{
    // Behind the verb gate like every login: never beside a running one.
    if (FAILED(DoVerbBegin(nullptr)))
        return 0;
    HRESULT hr = LoginFromStore();
    DoVerbEnd(nullptr);
    return hr;
}

HRESULT CToken_KVPersistent::GetMemPSE(char** name)
{
    if (name == nullptr)
        return E_INVALIDARG;
    return String_Copy(m_memPSE, name);
}

HRESULT CToken_KVPersistent::GetPersistanceKey(char** key)
{
    if (key == nullptr)
        return E_INVALIDARG;
    *key = nullptr;
    const char* path = m_policy ? m_policy->GetPath() : nullptr;
    std::string name(path != nullptr ? path : "");
    for (char& c : name)
        c = c == '/' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return String_Copy(name.c_str(), key);
}

HRESULT CToken_KVPersistent::CreateMemPSE(const char* name, SecToken** token)
{
    if (token == nullptr)
        return E_INVALIDARG;
    *token = nullptr;
    StringT<char> slotName("toksw:");
    slotName.Append(name);
    SecSlot* slot = nullptr;
    ZELKPSE::getSlot(&slot, slotName);
    if (slot == nullptr)
        return S_OK;
    SecToken* memory = nullptr;
    slot->getToken(&memory);
    slot->Release();
    if (memory == nullptr)
        return S_OK;
    if (memory->isValid() == S_OK && memory->isInitialized() == S_OK)
        memory->deleteToken();
    if (memory->isValid() == S_OK && memory->isInitialized() != S_OK) {
        ProfileInfo* info = nullptr;
        if (SUCCEEDED(memory->getInitInfo(nullptr, &info)) && info != nullptr) {
            if (info->pin1 != nullptr) {
                char* empty = static_cast<char*>(sec_calloc(1, 1));
                if (empty != nullptr) {
                    sec_free(info->pin1->pinValue);
                    info->pin1->pinValue = empty;
                }
            }
            memory->initToken(info);
            memory->delInitInfo(&info);
        }
    }
    *token = memory;
    return S_OK;
}

HRESULT CToken_KVPersistent::UpdateMemPSE(SecToken* token)
{
    if (token == nullptr)
        return E_INVALIDARG;
    HRESULT hr = token->createPrivateKeyObj(nullptr, m_key, kKeyId, "SKnew", 0);
    if (m_cert) {
        StringT<char> label;
        if (static_cast<Certificate*>(m_cert)->getSubjectCommonName(&label) != S_OK || label.IsEmpty())
            label = "unknown";
        hr = token->createCertificateObj(nullptr, m_cert, kKeyId, label);
    }
    if (m_rootCert)
        hr = token->createCertificateObj(nullptr, m_rootCert, nullptr, "root certificate");
    const SEC_TYPE_TABLE* certs = Types(SEC_TYPE_Certificate);
    for (const SET_OF_Certificate* node = m_caCerts; node != nullptr && certs != nullptr; node = node->next) {
        if (certs->compare(node->element, m_cert) == 0 || certs->compare(node->element, m_rootCert) == 0)
            continue;
        hr = token->createCertificateObj(nullptr, node->element, nullptr, "ca certificate");
    }
    return hr;
}

HRESULT CToken_KVPersistent::Serialize(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                                       const Certificate* rootCert, OctetString** p12)
{
    if (p12 == nullptr)
        return E_INVALIDARG;
    *p12 = nullptr;
    const auto* core = ZELK_ApiCast<ZELKBASE_CORE_TABLE>(s_baseCore);
    if (key == nullptr || cert == nullptr || core == nullptr || core->aux_create_pkcs12 == nullptr)
        return E_FAIL;
    // Without the key store's password nothing is stored: the value must
    // never open without it.
    char* password = nullptr;
    HRESULT hr = GetPKCS12Password(&password);
    if (FAILED(hr))
        return E_FAIL;
    KeyInfo* publicKey = nullptr;
    if (const_cast<Certificate*>(cert)->getPublicKeyInfo(&publicKey) != S_OK)
        publicKey = nullptr;
    KeyInfo* privateKey = nullptr;
    AuxCpy(key, &privateKey);
    KeyPair pair {publicKey, privateKey};
    SET_OF_Certificate* list = nullptr;
    AddOnce(&list, cert);
    for (const SET_OF_Certificate* node = caCerts; node != nullptr; node = node->next)
        AddOnce(&list, node->element);
    AddOnce(&list, rootCert);
    hr = core->aux_create_pkcs12(kFriendlyName, &pair, list, password, p12);
    Burn(password);
    FreeValue(SEC_TYPE_SET_OF_Certificate, list);
    FreeValue(SEC_TYPE_KeyInfo, publicKey);
    FreeValue(SEC_TYPE_KeyInfo, privateKey);
    if (FAILED(hr) || *p12 == nullptr) {
        SECTRACE_WriteLn(nullptr, 1, "Can not encode hearthgate pkcs#12");
        DeleteStoredPKCS12Password();
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CToken_KVPersistent::Load(OctetString* p12, bool* noPassword)
{
    *noPassword = false;
    const auto* core = ZELK_ApiCast<ZELKBASE_CORE_TABLE>(s_baseCore);
    if (p12 == nullptr || core == nullptr || core->aux_open_pkcs12 == nullptr)
        return E_FAIL;
    char* password = nullptr;
    HRESULT hr = GetPKCS12Password(&password);
    if (FAILED(hr)) {
        *noPassword = true;
        return hr;
    }
    AuxPtr<KeyPair> pair;
    AuxPtr<SET_OF_Certificate> list;
    hr = core->aux_open_pkcs12(p12, password, &pair, &list);
    Burn(password);
    if (SUCCEEDED(hr) && (!list || !pair || pair->privateKey == nullptr))
        hr = E_FAIL;
    if (FAILED(hr)) {
        SECTRACE_WriteLn(nullptr, 1, "Can not decode hearthgate pkcs#12 from registry");
        DeleteStoredPKCS12Password();
        return hr;
    }
    // The stored certificate is checked before anything is installed.
    Certificate* own = list->element;
    if (!IsValidCert(own, 0))
        return E_FAIL;
    AuxPtr<SET_OF_Certificate> chain;
    const SET_OF_Certificate* last = list;
    while (last->next != nullptr)
        last = last->next;
    for (const SET_OF_Certificate* node = list->next; node != nullptr && node != last; node = node->next)
        AddOnce(&chain, node->element);
    Certificate* root = last != static_cast<const SET_OF_Certificate*>(list) ? last->element : nullptr;
    hr = CToken_KV::UpdateToken(pair->privateKey, own, chain, root);
    if (FAILED(hr))
        return hr;
    ClearIdentity();
    AuxCpy(static_cast<const KeyInfo*>(pair->privateKey), &m_key);
    m_cert = own;
    m_caCerts.Attach(chain.Detach());
    m_rootCert = root;
    RefreshPCI();
    SecToken* memory = nullptr;
    CreateMemPSE(m_memPSE, &memory);
    UpdateMemPSE(memory);
    if (memory != nullptr)
        memory->Release();
    return hr;
}

HRESULT CToken_KVPersistent::DeSerialize(OctetString* p12)
{
    bool noPassword = false;
    return Load(p12, &noPassword);
}

HRESULT CToken_KVPersistent::GetPSEFromRegistry()
{
    CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> cache;
    char* key = nullptr;
    if (FAILED(ZELK_PolOpen(kCachePath, &cache)) || !cache || FAILED(GetPersistanceKey(&key)))
        return E_FAIL;
    StringT<char> name(key);
    sec_free(key);
    AuxPtr<OctetString> value;
    if (cache->GetBinary(name, &value) < 0 || !value || value->length == 0) {
        SECTRACE_FormatLn("psesvc", 3, "No persistent pse in registry found for profile %s", GetProfileName());
        return E_FAIL;
    }
    bool noPassword = false;
    HRESULT hr = Load(value, &noPassword);
    OPENSSL_cleanse(value->data, value->length);
    if (SUCCEEDED(hr))
        return S_OK;
    // A key store that cannot answer now leaves the stored identity alone.
    if (noPassword)
        return E_FAIL;
    SECTRACE_FormatLn(nullptr, 3, "Delete registry stored pse for profile %s", GetProfileName());
    OctetString empty {0, nullptr};
    cache->SetBinary(name, &empty);
    return E_FAIL;
}

HRESULT CToken_KVPersistent::SetPSEToRegistry(OctetString* p12)
{
    CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> cache;
    char* key = nullptr;
    if (FAILED(ZELK_PolOpen(kCachePath, &cache)) || !cache || FAILED(GetPersistanceKey(&key))) {
        if (p12 != nullptr && p12->data != nullptr)
            OPENSSL_cleanse(p12->data, p12->length);
        return E_FAIL;
    }
    OctetString empty {0, nullptr};
    HRESULT hr = cache->SetBinary(key, p12 != nullptr ? p12 : &empty);
    sec_free(key);
    if (p12 != nullptr && p12->data != nullptr)
        OPENSSL_cleanse(p12->data, p12->length);
    return hr;
}

HRESULT CToken_KVPersistent::GetPKCS12Password(char** password)
{
    if (password == nullptr)
        return E_INVALIDARG;
    *password = nullptr;
    std::unique_ptr<kestrin::keystore::KeyStore> store = OpenKeyStore();
    if (!store)
        return E_FAIL;
    kestrin::keystore::SecretBytes stored;
    HRESULT hr = store->GetPassword(kPasswordService, kPasswordAccount, &stored);
    if (hr == S_OK) {
        SECTRACE_WriteLn("zelk", 4, "Stored PKCS#12 password used from keychain");
        // A stored value that is no text is refused.
        if (stored.empty() || stored.size() > kMaxPasswordLength
            || std::memchr(stored.data(), 0, stored.size()) != nullptr)
            return E_FAIL;
        char* copy = static_cast<char*>(sec_malloc(stored.size() + 1));
        if (copy == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(copy, stored.data(), stored.size());
        copy[stored.size()] = '\0';
        *password = copy;
        return S_OK;
    }
    // Only a password that is not there is made anew.
    if (hr != S_FALSE)
        return E_FAIL;
    const auto* random = ZELK_ApiCast<SEC_RANDOM_TABLE>(s_random);
    char* text = nullptr;
    if (random == nullptr || FAILED(random->random(1, kPasswordLength, SEC_RANDOM_TEXT, &text)) || text == nullptr)
        return E_FAIL;
    hr = store->SetPassword(kPasswordService, kPasswordAccount,
                            {reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(kPasswordLength)});
    if (FAILED(hr)) {
        SECTRACE_FormatLn(nullptr, 1, "Can not store hearthgate password in keychain, error %0x",
                          static_cast<unsigned>(hr));
        Burn(text);
        return E_FAIL;
    }
    *password = text;
    return S_OK;
}

HRESULT CToken_KVPersistent::DeleteStoredPKCS12Password()
{
    std::unique_ptr<kestrin::keystore::KeyStore> store = OpenKeyStore();
    HRESULT hr = store ? store->DeletePassword(kPasswordService, kPasswordAccount) : E_FAIL;
    SECTRACE_FormatLn(nullptr, 1, "Delete pkcs12 password item in keychain with return code %0x",
                      static_cast<unsigned>(hr));
    return hr;
}

}  // namespace ZELK::PSESVC

// The enrolled identity of a profile token: installed into the in-memory
// token and the key store, checked for validity, and removed at logout.
#include <openssl/crypto.h>

#include <cstdlib>

#include "../core/applications.h"
#include "qev_random.h"
#include "token_kv.h"
#include "zelk_keychain.h"
#include "zelk_module.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_baseCore = nullptr;
CLoadAPI s_loadBaseCore("zelkbase", ZELKBASE_CORE_API, &s_baseCore);
API_COMMON* s_keychain = nullptr;
CLoadAPI s_loadKeychain("zelkbase", KEYCHAIN_API, &s_keychain);
API_COMMON* s_timeapi = nullptr;
CLoadAPI s_loadTimeapi("zelkbase", ZELKBASE_TIMEAPI_API, &s_timeapi);
API_COMMON* s_random = nullptr;
CLoadAPI s_loadRandom(nullptr, SEC_RANDOM_API, &s_random);

constexpr char kIdentityPrefix[] = "QEV Kestrin ";
constexpr char kKeyId[] = "01";
constexpr size_t kPasswordLength = 64;
// Seconds to 100 ns.
constexpr uint64_t kTicksPerSecond = 10000000ull;

const SEC_TYPE_TABLE* Types(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

const KEYCHAIN_API_FUNCTIONS* Keychain()
{
    return ZELK_ApiCast<KEYCHAIN_API_FUNCTIONS>(s_keychain);
}

HRESULT DeleteIdentity(const char* name)
{
    const KEYCHAIN_API_FUNCTIONS* keychain = Keychain();
    return keychain != nullptr ? keychain->KeyChainDelete_byPrivateKeyName(name) : E_FAIL;
}

template <class T>
void FreeValue(unsigned int index, T* value)
{
    const SEC_TYPE_TABLE* table = Types(index);
    if (value != nullptr && table != nullptr)
        table->free(value);
}

template <class T>
HRESULT Decode(unsigned int index, const OctetString* der, T** out)
{
    *out = nullptr;
    const SEC_TYPE_TABLE* table = Types(index);
    if (table == nullptr || table->decode == nullptr)
        return E_FAIL;
    if (der == nullptr || der->data == nullptr || der->length == 0)
        return E_INVALIDARG;
    void* value = nullptr;
    HRESULT hr = table->decode(der, &value);
    if (FAILED(hr)) {
        if (value != nullptr)
            table->free(value);
        return hr;
    }
    *out = static_cast<T*>(value);
    return S_OK;
}

// A private key as the library keeps it (algorithm and privateKey octets)
// from its PKCS#8 DER.
HRESULT DecodePrivateKey(const OctetString* der, KeyInfo** out)
{
    *out = nullptr;
    PrivateKeyInfo* record = nullptr;
    HRESULT hr = Decode(SEC_TYPE_PrivateKeyInfo, der, &record);
    if (FAILED(hr))
        return hr;
    auto* key = static_cast<KeyInfo*>(std::calloc(1, sizeof(KeyInfo)));
    if (record->algorithm == nullptr || record->privateKey == nullptr || record->privateKey->length == 0
        || record->privateKey->length > UINT64_MAX / 8 || key == nullptr) {
        std::free(key);
        FreeValue(SEC_TYPE_PrivateKeyInfo, record);
        return key == nullptr ? E_OUTOFMEMORY : E_INVALIDARG;
    }
    key->algorithm = record->algorithm;
    key->bits = record->privateKey->length * 8;
    key->key = record->privateKey->data;
    record->algorithm = nullptr;
    record->privateKey->data = nullptr;
    record->privateKey->length = 0;
    FreeValue(SEC_TYPE_PrivateKeyInfo, record);
    *out = key;
    return S_OK;
}

// Wipes the key bytes before the value goes.
void FreePrivateKey(KeyInfo* key)
{
    if (key == nullptr)
        return;
    if (key->key != nullptr)
        OPENSSL_cleanse(key->key, static_cast<size_t>(key->bits / 8));
    FreeValue(SEC_TYPE_KeyInfo, key);
}

bool SameCert(const Certificate* a, const Certificate* b)
{
    if (a == nullptr || b == nullptr)
        return false;
    const SEC_TYPE_TABLE* certs = Types(SEC_TYPE_Certificate);
    return certs != nullptr && certs->compare(a, b) == 0;
}

// `length` letters and digits, each drawn without bias from random bytes.
HRESULT RandomText(size_t length, StringT<char>& text)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;
    constexpr unsigned kUsable = 256 - 256 % kAlphabetSize;
    const auto* random = ZELK_ApiCast<SEC_RANDOM_TABLE>(s_random);
    if (random == nullptr || random->random == nullptr)
        return E_FAIL;
    char* out = text.GetBuffer(length);
    if (out == nullptr)
        return E_OUTOFMEMORY;
    size_t filled = 0;
    while (filled < length) {
        OctetString* bytes = nullptr;
        HRESULT hr = random->random(0, length, SEC_RANDOM_BYTES, &bytes);
        if (FAILED(hr) || bytes == nullptr)
            return FAILED(hr) ? hr : E_FAIL;
        for (uint64_t i = 0; i < bytes->length && filled < length; ++i)
            if (bytes->data[i] < kUsable)
                out[filled++] = kAlphabet[bytes->data[i] % kAlphabetSize];
        OPENSSL_cleanse(bytes->data, bytes->length);
        FreeValue(SEC_TYPE_OctetString, bytes);
    }
    out[length] = '\0';
    return S_OK;
}

// Appends a copy (a reference) of `cert` unless an equal one is listed.
HRESULT SET_OF_add(SET_OF_Certificate** list, const Certificate* cert)
{
    if (cert == nullptr)
        return S_OK;
    SET_OF_Certificate** tail = list;
    for (; *tail != nullptr; tail = &(*tail)->next)
        if (SameCert((*tail)->element, cert))
            return S_OK;
    const SEC_TYPE_TABLE* nodes = Types(SEC_TYPE_SET_OF_Certificate);
    if (nodes == nullptr)
        return E_FAIL;
    SET_OF_Certificate* node = nullptr;
    HRESULT hr = nodes->new_node(reinterpret_cast<void**>(&node));
    if (FAILED(hr) || node == nullptr)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    const_cast<Certificate*>(cert)->AddRef();
    node->element = const_cast<Certificate*>(cert);
    node->next = nullptr;
    *tail = node;
    return S_OK;
}

}  // namespace

StringT<char> CToken_KV::IdentityName()
{
    StringT<char> name;
    name.Format("%s(%s)", kIdentityPrefix, static_cast<const char*>(m_profileName));
    return name;
}

HRESULT CToken_KV::UpdateToken()
{
    HRESULT hr = m_userInfo->SetFromKV(Client());
    if (FAILED(hr))
        return hr;
    AuxPtr<OctetString> keyDer;
    hr = m_userInfo->GetKey(&keyDer);
    KeyInfo* key = nullptr;
    if (SUCCEEDED(hr))
        hr = DecodePrivateKey(keyDer, &key);
    if (keyDer)
        OPENSSL_cleanse(static_cast<OctetString*>(keyDer)->data, static_cast<OctetString*>(keyDer)->length);
    keyDer.Free();
    Certificate* cert = nullptr;
    Certificate* root = nullptr;
    SET_OF_Certificate* chain = nullptr;
    if (SUCCEEDED(hr))
        hr = Decode(SEC_TYPE_Certificate, m_userInfo->GetCert(), &cert);
    if (SUCCEEDED(hr) && m_userInfo->GetRootCert() != nullptr)
        hr = Decode(SEC_TYPE_Certificate, m_userInfo->GetRootCert(), &root);
    if (SUCCEEDED(hr) && m_userInfo->GetCACerts() != nullptr && m_userInfo->GetCACerts()->length != 0)
        hr = Decode(SEC_TYPE_SET_OF_Certificate, m_userInfo->GetCACerts(), &chain);
    // A result that does not decode installs nothing: the token and the key
    // store keep the previous identity.
    if (SUCCEEDED(hr))
        hr = UpdateToken(key, cert, chain, root);
    FreePrivateKey(key);
    FreeValue(SEC_TYPE_Certificate, cert);
    FreeValue(SEC_TYPE_Certificate, root);
    FreeValue(SEC_TYPE_SET_OF_Certificate, chain);
    return hr;
}

HRESULT CToken_KV::UpdateToken(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                               const Certificate* rootCert)
{
    if (key == nullptr || cert == nullptr)
        return E_INVALIDARG;
    if (!m_token)
        return E_FAIL;
    if (m_token->isValid() == S_OK && m_token->isInitialized() == S_OK)
        m_token->deleteToken();
    if (m_token->isValid() == S_OK && m_token->isInitialized() != S_OK) {
        ProfileInfo* info = nullptr;
        if (SUCCEEDED(m_token->getInitInfo(nullptr, &info)) && info != nullptr) {
            if (info->pin1 != nullptr) {
                char* empty = static_cast<char*>(sec_calloc(1, 1));
                if (empty != nullptr) {
                    sec_free(info->pin1->pinValue);
                    info->pin1->pinValue = empty;
                }
            }
            m_token->initToken(info);
            m_token->delInitInfo(&info);
        }
    }
    HRESULT hr = UpdateToken(m_token, key, cert, caCerts, rootCert, true);
    if (FAILED(hr))
        return hr;
    m_loggedOut = false;
    return IsValidCert(cert, 0) ? S_OK : S_FALSE;
}

HRESULT CToken_KV::UpdateToken(SecToken* target, const KeyInfo* key, const Certificate* cert,
                               const SET_OF_Certificate* caCerts, const Certificate* rootCert, bool import)
{
    if (target == nullptr || key == nullptr || cert == nullptr)
        return E_INVALIDARG;
    auto* own = const_cast<Certificate*>(cert);
    TokenObjectPrivateKey* keyObject = nullptr;
    if (SUCCEEDED(target->createPrivateKeyObj(&keyObject, key, kKeyId, "SKnew", 0)) && keyObject != nullptr)
        keyObject->Release();
    StringT<char> label;
    if (own->getSubjectCommonName(&label) != S_OK || label.IsEmpty())
        label = "unknown";
    TokenObjectCertificate* certObject = nullptr;
    if (SUCCEEDED(target->createCertificateObj(&certObject, cert, kKeyId, label)) && certObject != nullptr)
        certObject->Release();
    if (rootCert != nullptr) {
        certObject = nullptr;
        if (SUCCEEDED(target->createCertificateObj(&certObject, rootCert, nullptr, "root certificate"))
            && certObject != nullptr)
            certObject->Release();
    }
    if (import) {
        HRESULT hr = ImportIdentity(key, cert, caCerts, rootCert);
        if (FAILED(hr))
            return hr;
    }
    for (const SET_OF_Certificate* node = caCerts; node != nullptr; node = node->next) {
        if (node->element == nullptr || SameCert(node->element, cert) || SameCert(node->element, rootCert))
            continue;
        certObject = nullptr;
        if (SUCCEEDED(target->createCertificateObj(&certObject, node->element, nullptr, "ca certificate"))
            && certObject != nullptr)
            certObject->Release();
    }
    return S_OK;
}

HRESULT CToken_KV::ImportIdentity(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                                  const Certificate* rootCert)
{
    const auto* core = ZELK_ApiCast<ZELKBASE_CORE_TABLE>(s_baseCore);
    const KEYCHAIN_API_FUNCTIONS* keychain = Keychain();
    KeyInfo* publicKey = nullptr;
    if (const_cast<Certificate*>(cert)->getPublicKeyInfo(&publicKey) != S_OK)
        publicKey = nullptr;
    KeyInfo* privateKey = nullptr;
    const SEC_TYPE_TABLE* keys = Types(SEC_TYPE_KeyInfo);
    if (keys != nullptr)
        keys->copy(key, reinterpret_cast<void**>(&privateKey));
    KeyPair pair {publicKey, privateKey};
    SET_OF_Certificate* list = nullptr;
    SET_OF_add(&list, cert);
    for (const SET_OF_Certificate* node = caCerts; node != nullptr; node = node->next)
        SET_OF_add(&list, node->element);
    SET_OF_add(&list, rootCert);
    StringT<char> name = IdentityName();
    StringT<char> password;
    HRESULT hr = RandomText(kPasswordLength, password);
    OctetString* pkcs12 = nullptr;
    if (SUCCEEDED(hr))
        hr = core != nullptr && core->aux_create_pkcs12 != nullptr
                 ? core->aux_create_pkcs12(name, &pair, list, password, &pkcs12)
                 : E_FAIL;
    FreeValue(SEC_TYPE_SET_OF_Certificate, list);
    FreeValue(SEC_TYPE_KeyInfo, publicKey);
    FreePrivateKey(privateKey);
    if (FAILED(hr)) {
        password.Burn();
        SECTRACE_FormatLn("zelk", 1, "Create temporary PKCS#12 failed with error %0x8", static_cast<unsigned>(hr));
        return E_FAIL;
    }
    DeleteIdentity(name);
    hr = keychain != nullptr ? keychain->KeyChainImportFromP12(name, password, pkcs12, false, false) : E_FAIL;
    password.Burn();
    OPENSSL_cleanse(pkcs12->data, pkcs12->length);
    FreeValue(SEC_TYPE_OctetString, pkcs12);
    if (FAILED(hr)) {
        SECTRACE_FormatLn("zelk", 1, "Import PKCS#12 failed with error %0x8", static_cast<unsigned>(hr));
        return E_FAIL;
    }
    return S_OK;
}

bool CToken_KV::IsValidCert(const Certificate* cert, unsigned long margin)
{
    const auto* time = ZELK_ApiCast<SEC_TIMEAPI_TABLE>(s_timeapi);
    if (cert == nullptr || time == nullptr)
        return false;
    auto* c = const_cast<Certificate*>(cert);
    const uint64_t now = time->time_TranslateTime(0, 0, TIME_FILETIME);
    const char* notAfterText = c->getNotAfter();
    const char* notBeforeText = c->getNotBefore();
    if (notAfterText == nullptr)
        return false;
    const uint64_t notAfter = time->time_TranslateGeneralTime(notAfterText, TIME_FILETIME);
    if (notAfter == ZELK_TIME_INVALID)
        return false;
    uint64_t marginTicks = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(margin), kTicksPerSecond, &marginTicks) || marginTicks > notAfter)
        return false;
    if (now >= notAfter - marginTicks)
        return false;
    if (margin != 0)
        return true;
    if (notBeforeText == nullptr)
        return false;
    const uint64_t notBefore = time->time_TranslateGeneralTime(notBeforeText, TIME_FILETIME);
    return notBefore != ZELK_TIME_INVALID && now >= notBefore;
}

int CToken_KV::Logout(ICredUI* dialog)
{
    SECTRACE_FormatLn(nullptr, 3, "CToken:: Kestrin token [%s] :: logout", Name());
    if (m_loginsRunning > 0 && std::this_thread::get_id() != m_loginThread) {
        // The running login still uses what a logout frees: stop it, and let
        // it log out when it ends.
        m_cancelRequested = true;
        m_logoutPending = true;
        CancelEvent();
        return S_OK;
    }
    SetGVXName(nullptr);
    if (!m_silent && m_loginsRunning == 0)
        m_cancelRequested = true;
    if (m_token && m_token->isValid() == S_OK && m_token->isInitialized() == S_OK)
        m_token->deleteToken();
    m_userInfo->DeleteUserInfo();
    if (m_kerberos != nullptr)
        m_kerberos->Logout(dialog);
    m_spnegoUsed = false;
    m_loggedOut = true;
    DeleteIdentity(IdentityName());
    RefreshPCI();
    RegisterOwnCerts(false);
    RefreshModel();
    ClearScheduledTasks(m_cancelRequested.load());
    return S_OK;
}

int CToken_KV::Reauth(ICredUI* dialog)
{
    // Logout forgets the user name: keep a copy.
    StringT<wchar_t> user;
    if (m_kerberos == nullptr)
        user = m_userInfo->GetUserName();
    if (!m_loggedOut)
        Logout(dialog);
    if (user.IsEmpty())
        return Login(dialog);
    return LoginAs(dialog, user);
}

HRESULT CToken_KV::SetGVXName(const char* name)
{
    if (m_model == nullptr)
        return S_FALSE;
    if (name == nullptr) {
        m_model->DelGVXName(nullptr);
    } else {
        if (String_StartsWith(name, "p:"))
            name += 2;
        m_model->AddGVXName(name);
    }
    CApplications* applications = nullptr;
    if (SUCCEEDED(CSingletonFactoryImpl<CApplications>::New(&applications)) && applications != nullptr) {
        applications->SetProfileForGssTargetName(m_profileName, name);
        applications->Release();
    }
    return S_OK;
}

HRESULT CToken_KV::LoginWithKVHandle(IKestrin* client)
{
    if (client == nullptr)
        return E_POINTER;
    // A login like one through the dialogue: a logout from another thread
    // (the browser monitor, the API's deferred logout) must not free the
    // credentials while they are installed.
    BeginLogin();
    HRESULT hr = InstallFromClient(client);
    EndLogin();
    return hr;
}

HRESULT CToken_KV::InstallFromClient(IKestrin* client)
{
    {
        CriticalCodeSection lock(&m_csSession);
        m_kv = client;
    }
    HRESULT hr = UpdateToken();
    if (FAILED(hr)) {
        CriticalCodeSection lock(&m_csSession);
        m_kv = nullptr;
        return hr;
    }
    RefreshPCI();
    RegisterOwnCerts(false);
    RefreshModel();
    ConfigureScheduledTasks(0);
    SECTRACE_FormatLn(nullptr, 3, "CToken:: Kestrin Web client token [%s] :: login done", Name());
    DeleteSession(0);
    return S_OK;
}

}  // namespace ZELK::PSESVC

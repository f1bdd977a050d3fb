#include "sw_store.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "qev_results.h"

namespace kestrin::qevcrypto::swtoken {
namespace {

// The PSEs of enrolment profiles: "mem://kestrin/" + profile.
constexpr char kProfilePrefix[] = "mem://kestrin/";
constexpr size_t kProfilePrefixLength = sizeof kProfilePrefix - 1;
// Longest chain walked above a certificate.
constexpr int kMaxPathLength = 16;

struct Registry {
    std::mutex lock;
    std::map<std::string, StorePtr> stores;
};

Registry& Stores()
{
    static Registry registry;
    return registry;
}

ossl::X509Ptr Parse(const ossl::Bytes& der)
{
    const unsigned char* p = der.data();
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

bool SameText(const std::string& a, const char* b)
{
    return b == nullptr || a == b;
}

}  // namespace

Store::~Store()
{
    std::vector<Entry> removed;
    ClearLocked(removed);
    for (Entry& e : removed)
        e.object->Object()->Release();
}

HRESULT Store::Valid()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_deleted ? E_TOKEN_NOTFOUND : S_OK;
}

HRESULT Store::Initialized()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_deleted)
        return E_TOKEN_NOTFOUND;
    return m_initialized ? S_OK : E_PSE_NOPSE;
}

HRESULT Store::Initialize(const char* pin)
{
    const char* text = pin != nullptr ? pin : "";
    const size_t length = strnlen(text, kMaxPinLength + 1);
    if (length > kMaxPinLength)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_deleted)
        return E_TOKEN_NOTFOUND;
    if (m_initialized)
        return E_PSE_EXISTS;
    m_pin.assign(text, text + length);
    m_verified = m_pin.empty();
    m_initialized = true;
    return S_OK;
}

void Store::ClearLocked(std::vector<Entry>& removed)
{
    removed.swap(m_entries);
    for (Entry& e : removed)
        e.object->Wipe();
    m_pin.clear();
    m_initialized = false;
    m_verified = false;
}

void Store::Clear()
{
    std::vector<Entry> removed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ClearLocked(removed);
    }
    // Objects are released outside the lock: a last release may reach the
    // store again through a caller's object.
    for (Entry& e : removed)
        e.object->Object()->Release();
}

void Store::Delete()
{
    Clear();
    std::lock_guard<std::mutex> lock(m_lock);
    m_deleted = true;
}

bool Store::PinSet()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_pin.empty();
}

HRESULT Store::Login(const char* pin)
{
    if (pin == nullptr)
        return E_INVALIDARG;
    const size_t length = strnlen(pin, kMaxPinLength + 1);
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_deleted)
        return E_TOKEN_NOTFOUND;
    if (!m_initialized)
        return E_PSE_NOPSE;
    if (length != m_pin.size() || CRYPTO_memcmp(pin, m_pin.data(), length) != 0)
        return E_TOKEN_PINWRONG;
    m_verified = true;
    return S_OK;
}

void Store::Logout()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_verified = m_pin.empty();
}

HRESULT Store::Usable()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_deleted)
        return E_TOKEN_NOTFOUND;
    if (!m_initialized)
        return E_PSE_NOPSE;
    return m_verified ? S_OK : E_PSE_NOTLOGGEDIN;
}

HRESULT Store::Add(StoredObject* object, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_deleted)
        return E_TOKEN_NOTFOUND;
    if (!m_initialized)
        return E_PSE_NOPSE;
    if (!m_verified)
        return E_PSE_NOTLOGGEDIN;
    try {
        m_entries.push_back({object, type, keyId != nullptr ? keyId : "", label != nullptr ? label : ""});
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    object->Object()->AddRef();
    return S_OK;
}

HRESULT Store::Remove(StoredObject* object)
{
    StoredObject* removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->object == object) {
                removed = it->object;
                m_entries.erase(it);
                break;
            }
        }
    }
    if (removed == nullptr)
        return E_TOKEN_NOKEY;
    removed->Wipe();
    removed->Object()->Release();
    return S_OK;
}

HRESULT Store::List(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                    const char* label)
{
    if (count == nullptr)
        return E_POINTER;
    const unsigned long room = objects != nullptr ? *count : 0;
    for (unsigned long i = 0; i < room; ++i)
        objects[i] = nullptr;
    *count = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_deleted)
        return E_TOKEN_NOTFOUND;
    unsigned long matching = 0;
    for (const Entry& e : m_entries) {
        if (e.type != type || (keyId != nullptr && strcasecmp(keyId, e.keyId.c_str()) != 0)
            || !SameText(e.label, label)) {
            continue;
        }
        if (matching < room) {
            objects[matching] = e.object->Object();
            objects[matching]->AddRef();
        }
        ++matching;
    }
    *count = matching;
    return S_OK;
}

HRESULT Store::Find(TOKEN_OBJECT_TYPE type, const char* keyId, StoredObject** out)
{
    *out = nullptr;
    if (keyId == nullptr || *keyId == '\0')
        return E_TOKEN_NOKEY;
    std::lock_guard<std::mutex> lock(m_lock);
    for (const Entry& e : m_entries) {
        if (e.type == type && e.keyId == keyId) {
            e.object->Object()->AddRef();
            *out = e.object;
            return S_OK;
        }
    }
    return E_TOKEN_NOKEY;
}

HRESULT Store::Path(const ossl::Bytes& certificate, std::vector<ossl::Bytes>* path, ossl::Bytes* root)
{
    path->clear();
    root->clear();
    std::vector<std::pair<ossl::X509Ptr, const ossl::Bytes*>> candidates;
    std::vector<ossl::Bytes> ders;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        try {
            for (const Entry& e : m_entries)
                if (e.type == TOKEN_OBJECT_CERTIFICATE)
                    ders.push_back(e.object->CertificateDer());
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    try {
        for (const ossl::Bytes& der : ders) {
            ossl::X509Ptr x509 = Parse(der);
            if (x509)
                candidates.emplace_back(std::move(x509), &der);
        }
        ossl::X509Ptr own = Parse(certificate);
        X509* current = own.get();
        for (int depth = 0; current != nullptr && depth < kMaxPathLength; ++depth) {
            if (X509_check_issued(current, current) == X509_V_OK)
                break;
            X509* issuer = nullptr;
            const ossl::Bytes* issuerDer = nullptr;
            for (auto& [candidate, der] : candidates) {
                if (X509_cmp(candidate.get(), current) != 0
                    && X509_check_issued(candidate.get(), current) == X509_V_OK) {
                    issuer = candidate.get();
                    issuerDer = der;
                    break;
                }
            }
            if (issuer == nullptr)
                break;
            if (X509_check_issued(issuer, issuer) == X509_V_OK) {
                *root = *issuerDer;
                break;
            }
            path->push_back(*issuerDer);
            current = issuer;
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CreateMemoryPse(char** name)
{
    if (name == nullptr)
        return E_POINTER;
    *name = nullptr;
    unsigned char id[8];
    if (RAND_bytes(id, sizeof id) != 1)
        return E_FAIL;
    char text[sizeof "mem://pse/" + 2 * sizeof id];
    int used = std::snprintf(text, sizeof text, "mem://pse/");
    for (unsigned char b : id)
        used += std::snprintf(text + used, sizeof text - static_cast<size_t>(used), "%02x", b);
    Registry& registry = Stores();
    try {
        auto store = std::make_shared<Store>(std::string("toksw:") + text);
        std::lock_guard<std::mutex> lock(registry.lock);
        if (!registry.stores.emplace(text, std::move(store)).second)
            return E_FAIL;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    *name = strdup(text);
    if (*name == nullptr) {
        DeleteMemoryPse(text);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT DeleteMemoryPse(const char* name)
{
    if (name == nullptr)
        return E_INVALIDARG;
    StorePtr store;
    {
        Registry& registry = Stores();
        std::lock_guard<std::mutex> lock(registry.lock);
        auto it = registry.stores.find(name);
        if (it == registry.stores.end())
            return E_PSE_NOTFOUND;
        store = std::move(it->second);
        registry.stores.erase(it);
    }
    store->Delete();
    return S_OK;
}

HRESULT FindStore(const char* pseName, StorePtr* out)
{
    out->reset();
    if (pseName == nullptr || *pseName == '\0')
        return E_PSE_NOTFOUND;
    Registry& registry = Stores();
    std::lock_guard<std::mutex> lock(registry.lock);
    try {
        auto it = registry.stores.find(pseName);
        if (it != registry.stores.end()) {
            *out = it->second;
            return S_OK;
        }
        if (std::strncmp(pseName, kProfilePrefix, kProfilePrefixLength) != 0 || pseName[kProfilePrefixLength] == '\0')
            return E_PSE_NOTFOUND;
        auto store = std::make_shared<Store>(std::string("toksw:") + pseName);
        registry.stores.emplace(pseName, store);
        *out = std::move(store);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT StoreIdentity(const char* slotName, https::ContextCredentials& into)
{
    constexpr char kScheme[] = "toksw:";
    if (slotName == nullptr || std::strncmp(slotName, kScheme, sizeof kScheme - 1) != 0)
        return E_PSE_NOTFOUND;
    StorePtr store;
    HRESULT hr = FindStore(slotName + sizeof kScheme - 1, &store);
    if (FAILED(hr))
        return hr;
    hr = store->Usable();
    if (FAILED(hr))
        return hr;
    // The first private key whose identifier a certificate shares.
    unsigned long count = 0;
    hr = store->List(nullptr, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr);
    if (FAILED(hr))
        return hr;
    std::vector<TokenObject*> keys(count, nullptr);
    hr = store->List(keys.data(), &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr);
    auto identity = std::make_shared<https::ClientIdentity>();
    for (TokenObject* object : keys) {
        if (object == nullptr)
            continue;
        const char* keyId = nullptr;
        StoredObject* certificate = nullptr;
        ossl::SecretBytes pkcs8;
        auto* key = static_cast<TokenObjectPrivateKey*>(object);
        if (SUCCEEDED(hr) && !identity->key && SUCCEEDED(key->getKeyId(&keyId))
            && SUCCEEDED(store->Find(TOKEN_OBJECT_CERTIFICATE, keyId, &certificate))) {
            std::vector<ossl::Bytes> path;
            ossl::Bytes root;
            const ossl::Bytes& der = certificate->CertificateDer();
            identity->certificate = Parse(der);
            hr = store->Path(der, &path, &root);
            for (const ossl::Bytes& issuer : path)
                if (SUCCEEDED(hr))
                    identity->chain.push_back(Parse(issuer));
            certificate->Object()->Release();
            StoredObject* stored = nullptr;
            if (SUCCEEDED(hr) && SUCCEEDED(store->Find(TOKEN_OBJECT_PRIVATE_KEY, keyId, &stored))) {
                hr = stored->KeyDer(&pkcs8);
                stored->Object()->Release();
            }
            if (SUCCEEDED(hr) && !pkcs8.empty()) {
                const unsigned char* p = pkcs8.data();
                identity->key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size())));
            }
        }
        object->Release();
    }
    if (FAILED(hr))
        return hr;
    if (!identity->key || !identity->certificate)
        return E_TOKEN_NOKEY;
    into.identity = std::move(identity);
    return S_OK;
}

}  // namespace kestrin::qevcrypto::swtoken

// The "tokkeychain:" slots and their tokens: one identity of the key store,
// or all of them. A token needs no login; it offers its identities'
// certificate, private-key and public-key objects, and can be neither
// written nor initialised.
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "keychain_name.h"
#include "keychain_objects.h"
#include "keychain_store.h"
#include "lib_object.h"
#include "qev_results.h"
#include "read_only_token.h"
#include "slot_schemes.h"
#include "types_values.h"

namespace kestrin::qevcrypto::keychain {
namespace {

using kestrin::keystore::Identity;
using kestrin::keystore::KeyType;

constexpr const char* kManufacturer = "Kestrin";
constexpr const char* kProfile = "keychain";
constexpr const char* kAllLabel = "Keychain";
constexpr unsigned long kMaxRandom = 64 << 10;

// Identities that sign: RSA and EC keys.
bool Usable(const Identity& identity)
{
    return identity.keyType == KeyType::Rsa || identity.keyType == KeyType::Ec;
}

// The identities a slot holds now.
HRESULT SlotIdentities(kestrin::keystore::KeyStore& store, const SlotName& name, std::vector<Identity>* out)
{
    out->clear();
    if (name.all) {
        std::vector<Identity> all;
        HRESULT hr = store.ListIdentities(&all);
        if (FAILED(hr))
            return hr;
        for (Identity& i : all)
            if (Usable(i))
                out->push_back(std::move(i));
        return S_OK;
    }
    Identity one;
    HRESULT hr = store.FindIdentity(name.sha1, &one);
    if (FAILED(hr))
        return hr;
    if (hr == S_OK && Usable(one))
        out->push_back(std::move(one));
    return S_OK;
}

class KeychainToken final : public ReadOnlyToken {
public:
    KeychainToken(StorePtr store, std::string name, SlotName parsed, std::string label, std::string serial)
        : m_store(std::move(store))
        , m_source(KeyStoreSource(m_store))
        , m_name(std::move(name))
        , m_parsed(parsed)
        , m_label(std::move(label))
        , m_serial(std::move(serial))
    {}

    const char* getType() override { return "KeychainToken"; }
    int cmp(const SecToken* other) override
    {
        auto* o = const_cast<SecToken*>(other);
        const char* name = nullptr;
        if (o == nullptr || o->getTokenName(&name) < 0 || name == nullptr)
            return 1;
        return m_name == name ? 0 : 1;
    }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT isValid() override { return S_OK; }
    HRESULT getTokenProfile(const char** profile) override { return Text(kProfile, profile); }
    HRESULT getTokenName(const char** name) override { return Text(m_name.c_str(), name); }
    HRESULT getTokenLabel(const char** label) override { return Text(m_label.c_str(), label); }
    HRESULT getSerialNumber(const char** serial) override { return Text(m_serial.c_str(), serial); }
    HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        std::memset(info, 0, sizeof *info);
        BlankPadded(info->label, m_label);
        BlankPadded(info->manufacturerID, kManufacturer);
        BlankPadded(info->model, kProfile);
        BlankPadded(info->serialNumber, m_serial);
        std::memset(info->utcTime, ' ', sizeof info->utcTime);
        info->flags = CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED | CKF_RNG;
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulMaxRwSessionCount = 0;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        return S_OK;
    }
    // The key store needs no login.
    HRESULT getCardPIN(TokenPIN** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        return S_OK;
    }
    HRESULT getPINs(TokenPIN**, unsigned long* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                       const char* label) override
    {
        if (count == nullptr)
            return E_POINTER;
        std::vector<Identity> identities;
        HRESULT hr = SlotIdentities(*m_store, m_parsed, &identities);
        std::vector<IdentityPtr> infos;
        for (const Identity& identity : identities) {
            if (FAILED(hr))
                break;
            IdentityPtr info;
            hr = MakeIdentity(identity, &info);
            if (SUCCEEDED(hr))
                infos.push_back(std::move(info));
        }
        if (FAILED(hr)) {
            const unsigned long room = objects != nullptr ? *count : 0;
            for (unsigned long i = 0; i < room; ++i)
                objects[i] = nullptr;
            *count = 0;
            return hr;
        }
        return ListObjects(m_source, infos, objects, count, type, keyId, label);
    }
    HRESULT getRandom(unsigned char* buffer, unsigned long length) override
    {
        if (buffer == nullptr || length > kMaxRandom)
            return E_INVALIDARG;
        if (length == 0)
            return S_OK;
        return RAND_bytes(buffer, static_cast<int>(length)) == 1 ? S_OK : E_FAIL;
    }

private:
    const GUID& Iid() const override { return IID_SecToken; }

    StorePtr m_store;
    SourcePtr m_source;
    const std::string m_name;
    const SlotName m_parsed;
    const std::string m_label;
    const std::string m_serial;
};

class KeychainSlot final : public LibObject<SecSlot> {
public:
    KeychainSlot(StorePtr store, std::string name, SlotName parsed)
        : m_store(std::move(store)), m_name(std::move(name)), m_parsed(parsed)
    {}

    const char* getType() override { return "KeychainSlot"; }
    int cmp(const SecSlot* other) override
    {
        auto* o = const_cast<SecSlot*>(other);
        const char* name = nullptr;
        if (o == nullptr || o->getSlotName(&name) < 0 || name == nullptr)
            return 1;
        return m_name == name ? 0 : 1;
    }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT tokenInserted() override
    {
        if (m_parsed.all)
            return S_OK;
        Identity identity;
        HRESULT hr = m_store->FindIdentity(m_parsed.sha1, &identity);
        if (FAILED(hr))
            return hr;
        return hr == S_OK && Usable(identity) ? S_OK : E_TOKEN_NOTFOUND;
    }
    HRESULT getP11SlotInfo(CK_SLOT_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        std::memset(info, 0, sizeof *info);
        BlankPadded(info->slotDescription, m_name);
        BlankPadded(info->manufacturerID, kManufacturer);
        info->flags = tokenInserted() == S_OK ? CKF_TOKEN_PRESENT : 0;
        return S_OK;
    }
    HRESULT getSlotName(const char** name) override
    {
        if (name == nullptr)
            return E_POINTER;
        *name = m_name.c_str();
        return S_OK;
    }
    HRESULT getToken(SecToken** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        std::lock_guard<std::mutex> lock(m_tokenLock);
        if (m_token == nullptr) {
            HRESULT hr = MakeToken(&m_token);
            if (FAILED(hr))
                return hr;
        } else if (!m_parsed.all) {
            HRESULT hr = tokenInserted();
            if (FAILED(hr))
                return hr;
        }
        m_token->AddRef();
        *out = m_token;
        return S_OK;
    }
    HRESULT releaseToken() override
    {
        std::lock_guard<std::mutex> lock(m_tokenLock);
        if (m_token == nullptr)
            return S_FALSE;
        m_token->Release();
        m_token = nullptr;
        return S_OK;
    }

private:
    ~KeychainSlot() override
    {
        if (m_token != nullptr)
            m_token->Release();
    }
    const GUID& Iid() const override { return IID_SecSlot; }

    HRESULT MakeToken(SecToken** out)
    {
        std::string label = kAllLabel;
        std::string serial;
        if (!m_parsed.all) {
            Identity identity;
            HRESULT hr = m_store->FindIdentity(m_parsed.sha1, &identity);
            if (FAILED(hr))
                return hr;
            if (hr != S_OK || !Usable(identity))
                return E_TOKEN_NOTFOUND;
            label = identity.printName;
            hr = SerialText(identity.certificate, &serial);
            if (FAILED(hr))
                return hr;
        }
        try {
            *out = new KeychainToken(m_store, m_name, m_parsed, std::move(label), std::move(serial));
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    static HRESULT SerialText(const std::vector<uint8_t>& der, std::string* out);

    StorePtr m_store;
    const std::string m_name;
    const SlotName m_parsed;
    std::mutex m_tokenLock;
    SecToken* m_token = nullptr;  // one reference while the slot holds its token
};

HRESULT KeychainSlot::SerialText(const std::vector<uint8_t>& der, std::string* out)
{
    Certificate* certificate = nullptr;
    HRESULT hr = values::CertificateFromDer(der.data(), der.size(), &certificate);
    if (FAILED(hr))
        return hr;
    const OctetString* serial = certificate->getSerialNumber();
    try {
        *out = serial != nullptr ? HexLower(serial->data, serial->length) : std::string();
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    certificate->Release();
    return hr;
}

HRESULT OpenScheme(const char* name, SecSlot** out)
{
    return OpenKeychainSlot(name, out);
}

SlotScheme s_scheme("tokkeychain:", &OpenScheme);

}  // namespace

HRESULT OpenKeychainSlot(const char* name, SecSlot** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (name == nullptr)
        return E_INVALIDARG;
    SlotName parsed;
    HRESULT hr = ParseSlotName(name, &parsed);
    if (FAILED(hr))
        return hr;
    StorePtr store;
    hr = ProcessStore(&store);
    if (FAILED(hr))
        return hr;
    try {
        *out = new KeychainSlot(std::move(store), name, parsed);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace kestrin::qevcrypto::keychain

// The "toksw:" slots of the library's getSlot: each slot holds the token of
// one in-memory PSE. A token is initialised from the record of its one
// profile, whose PIN (empty: no login) guards its objects; deleting the token
// wipes its keys.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "lib_object.h"
#include "qev_random.h"
#include "qev_results.h"
#include "read_only_token.h"
#include "slot_schemes.h"
#include "sw_objects.h"
#include "sw_store.h"

namespace kestrin::qevcrypto::swtoken {
namespace {

using keychain::BlankPadded;

constexpr char kScheme[] = "toksw:";
constexpr size_t kSchemeLength = sizeof kScheme - 1;
constexpr char kProfile[] = "default";
constexpr char kPinName[] = "PIN";
constexpr char kManufacturer[] = "Kestrin";
constexpr unsigned long kMaxRandom = 64 << 10;
// Length of the PIN text the profile record proposes.
constexpr size_t kProposedPinLength = 16;

char* CopyText(const char* text)
{
    return strdup(text);
}

void FreePin(ProfileInfoPIN* pin)
{
    if (pin == nullptr)
        return;
    std::free(pin->pinName);
    if (pin->pinValue != nullptr) {
        OPENSSL_cleanse(pin->pinValue, std::strlen(pin->pinValue));
        std::free(pin->pinValue);
    }
    std::free(pin);
}

void FreeProfileInfo(ProfileInfo* info)
{
    if (info == nullptr)
        return;
    std::free(info->profile);
    if (info->sub != nullptr) {
        std::free(info->sub->text);
        std::free(info->sub);
    }
    FreePin(info->pin1);
    FreePin(info->pin2);
    std::free(info);
}

// A random text for the PIN the record proposes.
char* ProposedPin()
{
    constexpr char kAlphabet[] = "0123456789";
    char* pin = static_cast<char*>(std::malloc(kProposedPinLength + 1));
    if (pin == nullptr)
        return nullptr;
    for (size_t i = 0; i < kProposedPinLength;) {
        unsigned char b = 0;
        if (RAND_bytes(&b, 1) != 1) {
            std::free(pin);
            return nullptr;
        }
        if (b < 250)
            pin[i++] = kAlphabet[b % 10];
    }
    pin[kProposedPinLength] = '\0';
    return pin;
}

class SoftPin final : public LibObject<TokenPIN> {
public:
    explicit SoftPin(StorePtr store) : m_store(std::move(store)) {}

    const char* getType() override { return "SoftTokenPIN"; }
    int cmp(const TokenPIN* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT getName(const char** name) override
    {
        if (name == nullptr)
            return E_POINTER;
        *name = kPinName;
        return S_OK;
    }
    HRESULT getId(int* id) override
    {
        if (id == nullptr)
            return E_POINTER;
        *id = 1;
        return S_OK;
    }
    HRESULT isVerified() override
    {
        HRESULT hr = m_store->Usable();
        return hr == E_PSE_NOTLOGGEDIN ? S_FALSE : hr;
    }
    HRESULT getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limits,
                    PUK_MODE* pukMode) override
    {
        if (charSet != nullptr)
            *charSet = 0;
        if (mode != nullptr)
            *mode = 0;
        if (type != nullptr)
            *type = 0;
        if (limits != nullptr)
            *limits = &m_limits;
        if (pukMode != nullptr)
            *pukMode = 0;
        return S_OK;
    }
    HRESULT getPINcnt(int* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = -1;  // never blocked
        return S_OK;
    }
    HRESULT getPINPadInfo(unsigned int* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        *info = 0;
        return S_OK;
    }
    HRESULT getUnblockObject(TokenPIN** out) override
    {
        if (out != nullptr)
            *out = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT beginUnblock() override { return E_PSE_NOTSUPPORTED; }
    HRESULT finishUnblock(const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT login(const char* pin, const History*) override { return m_store->Login(pin); }
    HRESULT logout() override
    {
        m_store->Logout();
        return S_OK;
    }
    HRESULT change(const char*, const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT set(const char*) override { return E_PSE_NOTSUPPORTED; }

private:
    const GUID& Iid() const override { return IID_TokenPIN; }

    StorePtr m_store;
    const MIN_MAX m_limits {0, static_cast<uint32_t>(kMaxPinLength)};
};

class SoftToken final : public keychain::ReadOnlyToken {
public:
    explicit SoftToken(StorePtr store) : m_store(std::move(store)) {}

    const char* getType() override { return "SoftToken"; }
    int cmp(const SecToken* other) override
    {
        auto* o = const_cast<SecToken*>(other);
        const char* name = nullptr;
        if (o == nullptr || o->getTokenName(&name) < 0 || name == nullptr)
            return 1;
        return m_store->SlotName() == name ? 0 : 1;
    }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT isValid() override { return m_store->Valid(); }
    HRESULT isInitialized() override { return m_store->Initialized(); }
    HRESULT getTokenProfile(const char** profile) override { return Text(kProfile, profile); }
    HRESULT getTokenName(const char** name) override { return Text(m_store->SlotName().c_str(), name); }
    HRESULT getTokenLabel(const char** label) override
    {
        return Text(m_store->SlotName().c_str() + kSchemeLength, label);
    }
    HRESULT getSerialNumber(const char** serial) override { return Text("", serial); }
    HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        std::memset(info, 0, sizeof *info);
        BlankPadded(info->label, m_store->SlotName().substr(kSchemeLength));
        BlankPadded(info->manufacturerID, kManufacturer);
        BlankPadded(info->model, kProfile);
        BlankPadded(info->serialNumber, "");
        std::memset(info->utcTime, ' ', sizeof info->utcTime);
        info->flags = CKF_RNG;
        if (m_store->Initialized() == S_OK)
            info->flags |= CKF_TOKEN_INITIALIZED;
        if (m_store->PinSet())
            info->flags |= CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulMaxPinLen = kMaxPinLength;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        return S_OK;
    }
    // NULL when the token needs no login.
    HRESULT getCardPIN(TokenPIN** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_store->Valid();
        if (FAILED(hr) || !m_store->PinSet())
            return hr;
        *out = new (std::nothrow) SoftPin(m_store);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT getPINs(TokenPIN** pins, unsigned long* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        const unsigned long room = pins != nullptr ? *count : 0;
        TokenPIN* pin = nullptr;
        HRESULT hr = getCardPIN(&pin);
        if (FAILED(hr))
            return hr;
        *count = pin != nullptr ? 1 : 0;
        if (pin != nullptr && room > 0)
            pins[0] = pin;
        else if (pin != nullptr)
            pin->Release();
        return S_OK;
    }
    HRESULT getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                       const char* label) override
    {
        return m_store->List(objects, count, type, keyId, label);
    }
    // The record of the one profile: its name and one PIN, whose last text
    // (the PIN itself) the caller may replace (library allocator).
    HRESULT getInitInfo(const char* profile, ProfileInfo** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_store->Valid();
        if (FAILED(hr))
            return hr;
        if (profile != nullptr && std::strcmp(profile, kProfile) != 0)
            return E_PSE_NOTFOUND;
        auto* info = static_cast<ProfileInfo*>(std::calloc(1, sizeof(ProfileInfo)));
        auto* pin = static_cast<ProfileInfoPIN*>(std::calloc(1, sizeof(ProfileInfoPIN)));
        if (info != nullptr) {
            info->pin1 = pin;
            info->profile = CopyText(kProfile);
        }
        if (pin != nullptr) {
            pin->pinId = 1;
            pin->pinName = CopyText(kPinName);
            pin->pinLimits[1] = static_cast<int32_t>(kMaxPinLength);
            pin->pinValue = ProposedPin();
        }
        if (info == nullptr || pin == nullptr || info->profile == nullptr || pin->pinName == nullptr
            || pin->pinValue == nullptr) {
            if (info == nullptr)
                FreePin(pin);
            FreeProfileInfo(info);
            return E_OUTOFMEMORY;
        }
        *out = info;
        return S_OK;
    }
    // Frees the record and everything in it; *info becomes NULL.
    HRESULT delInitInfo(ProfileInfo** info) override
    {
        if (info == nullptr)
            return E_POINTER;
        FreeProfileInfo(*info);
        *info = nullptr;
        return S_OK;
    }
    HRESULT initToken(ProfileInfo* info) override
    {
        if (info == nullptr || (info->profile != nullptr && std::strcmp(info->profile, kProfile) != 0))
            return E_INVALIDARG;
        return m_store->Initialize(info->pin1 != nullptr ? info->pin1->pinValue : nullptr);
    }
    HRESULT deleteToken() override
    {
        HRESULT hr = m_store->Valid();
        if (SUCCEEDED(hr))
            m_store->Clear();
        return hr;
    }
    HRESULT createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo* key, const char* keyId, const char* label,
                                unsigned int usage) override
    {
        return NewPrivateKeyObject(m_store, key, keyId, label, usage, out);
    }
    HRESULT createCertificateObj(TokenObjectCertificate** out, const Certificate* certificate, const char* keyId,
                                 const char* label) override
    {
        return NewCertificateObject(m_store, const_cast<Certificate*>(certificate), keyId, label, out);
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

    const StorePtr m_store;
};

class SoftSlot final : public LibObject<SecSlot> {
public:
    explicit SoftSlot(StorePtr store) : m_store(std::move(store)) {}

    const char* getType() override { return "SoftTokenSlot"; }
    int cmp(const SecSlot* other) override
    {
        auto* o = const_cast<SecSlot*>(other);
        const char* name = nullptr;
        if (o == nullptr || o->getSlotName(&name) < 0 || name == nullptr)
            return 1;
        return m_store->SlotName() == name ? 0 : 1;
    }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT tokenInserted() override { return m_store->Valid(); }
    HRESULT getP11SlotInfo(CK_SLOT_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        std::memset(info, 0, sizeof *info);
        BlankPadded(info->slotDescription, m_store->SlotName());
        BlankPadded(info->manufacturerID, kManufacturer);
        info->flags = m_store->Valid() == S_OK ? CKF_TOKEN_PRESENT : 0;
        return S_OK;
    }
    HRESULT getSlotName(const char** name) override
    {
        if (name == nullptr)
            return E_POINTER;
        *name = m_store->SlotName().c_str();
        return S_OK;
    }
    HRESULT getToken(SecToken** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_store->Valid();
        if (FAILED(hr))
            return hr;
        *out = new (std::nothrow) SoftToken(m_store);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT releaseToken() override { return S_OK; }

private:
    const GUID& Iid() const override { return IID_SecSlot; }

    const StorePtr m_store;
};

HRESULT OpenSoftSlot(const char* name, SecSlot** out)
{
    StorePtr store;
    HRESULT hr = FindStore(name + kSchemeLength, &store);
    if (FAILED(hr))
        return hr;
    *out = new (std::nothrow) SoftSlot(std::move(store));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

SlotScheme s_scheme(kScheme, &OpenSoftSlot);

}  // namespace
}  // namespace kestrin::qevcrypto::swtoken

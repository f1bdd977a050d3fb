// The token and the PINs of a card: the user PIN, and the SO PIN as its
// unblocking object (logged in, it sets a new user PIN with C_InitPIN).
#include <openssl/rand.h>

#include <new>

#include "card.h"
#include "card_codes.h"
#include "qev_results.h"
#include "read_only_token.h"

namespace kestrin::qevcrypto::pcsc {
namespace {

constexpr unsigned long kMaxRandom = 64 << 10;
constexpr const char* kUserPinName = "User PIN";
constexpr const char* kSoPinName = "SO PIN";

class CardPin final : public LibObject<TokenPIN> {
public:
    CardPin(CardPtr card, CK_USER_TYPE user) : m_card(std::move(card)), m_user(user) {}

    const char* getType() override { return "CardPIN"; }
    int cmp(const TokenPIN* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT getName(const char** name) override
    {
        if (name == nullptr)
            return E_POINTER;
        *name = m_user == CKU_SO ? kSoPinName : kUserPinName;
        return S_OK;
    }
    HRESULT getId(int* id) override
    {
        if (id == nullptr)
            return E_POINTER;
        *id = m_user == CKU_SO ? 2 : 1;
        return S_OK;
    }
    HRESULT isVerified() override { return m_card->Verified(m_user); }
    HRESULT getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limits,
                    PUK_MODE* pukMode) override
    {
        for (uint32_t* out : {charSet, mode, type, pukMode})
            if (out != nullptr)
                *out = 0;
        if (limits != nullptr)
            *limits = nullptr;
        CK_TOKEN_INFO info {};
        HRESULT hr = m_card->TokenInfo(&info);
        if (FAILED(hr))
            return hr;
        m_limits.min = static_cast<uint32_t>(info.ulMinPinLen);
        m_limits.max = static_cast<uint32_t>(info.ulMaxPinLen);
        if (limits != nullptr)
            *limits = &m_limits;
        return S_OK;
    }
    // 1 on the last try, 0 when locked, -1 when the card does not say.
    HRESULT getPINcnt(int* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = -1;
        CK_TOKEN_INFO info {};
        HRESULT hr = m_card->TokenInfo(&info);
        if (FAILED(hr))
            return hr;
        *count = PinTries(info.flags, m_user);
        return S_OK;
    }
    HRESULT getPINPadInfo(unsigned int* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        *info = 0;
        CK_TOKEN_INFO token {};
        HRESULT hr = m_card->TokenInfo(&token);
        if (SUCCEEDED(hr))
            *info = (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0 ? 1 : 0;
        return hr;
    }
    HRESULT getUnblockObject(TokenPIN** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (m_user == CKU_SO)
            return E_PSE_NOTSUPPORTED;
        return NewCardPin(m_card, CKU_SO, out);
    }
    // The SO logs in next, which the user's session must leave room for.
    HRESULT beginUnblock() override
    {
        if (m_user == CKU_SO)
            return E_PSE_NOTSUPPORTED;
        HRESULT hr = m_card->Logout();
        return FAILED(hr) ? hr : S_OK;
    }
    HRESULT finishUnblock(const char* pin) override
    {
        if (m_user == CKU_SO)
            return E_PSE_NOTSUPPORTED;
        return m_card->InitPin(pin);
    }
    HRESULT login(const char* pin, const History*) override { return m_card->Login(m_user, pin); }
    HRESULT logout() override { return m_card->Logout(); }
    HRESULT change(const char* oldPin, const char* newPin) override
    {
        if (m_user == CKU_SO)
            return E_PSE_NOTSUPPORTED;
        return m_card->ChangePin(oldPin, newPin);
    }
    HRESULT set(const char*) override { return E_PSE_NOTSUPPORTED; }

private:
    const GUID& Iid() const override { return IID_TokenPIN; }

    const CardPtr m_card;
    const CK_USER_TYPE m_user;
    MIN_MAX m_limits {};
};

class CardToken final : public keychain::ReadOnlyToken {
public:
    CardToken(CardPtr card, std::string name, std::string label, std::string serial, std::string model)
        : m_card(std::move(card))
        , m_name(std::move(name))
        , m_label(std::move(label))
        , m_serial(std::move(serial))
        , m_model(std::move(model))
    {}

    const char* getType() override { return "CardToken"; }
    int cmp(const SecToken* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT isValid() override { return m_card->Check(); }
    HRESULT getTokenProfile(const char** profile) override { return Text(m_model.c_str(), profile); }
    HRESULT getTokenName(const char** name) override { return Text(m_name.c_str(), name); }
    HRESULT getTokenLabel(const char** label) override { return Text(m_label.c_str(), label); }
    HRESULT getSerialNumber(const char** serial) override { return Text(m_serial.c_str(), serial); }
    HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        return m_card->TokenInfo(info);
    }
    // The PIN of a card that has left answers E_TOKEN_NOCARD to everything,
    // which the login dialog turns into asking for the card.
    HRESULT getCardPIN(TokenPIN** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        return NewCardPin(m_card, CKU_USER, out);
    }
    // The user PIN only: the SO PIN is reached as its unblocking object.
    HRESULT getPINs(TokenPIN** pins, unsigned long* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        const unsigned long room = pins != nullptr ? *count : 0;
        *count = 0;
        HRESULT hr = m_card->Check();
        if (FAILED(hr))
            return hr;
        if (room > 0) {
            hr = NewCardPin(m_card, CKU_USER, &pins[0]);
            if (FAILED(hr))
                return hr;
        }
        *count = 1;
        return S_OK;
    }
    HRESULT getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                       const char* label) override
    {
        if (count == nullptr)
            return E_POINTER;
        std::vector<keychain::IdentityPtr> identities;
        HRESULT hr = m_card->Identities(&identities);
        if (FAILED(hr)) {
            const unsigned long room = objects != nullptr ? *count : 0;
            for (unsigned long i = 0; i < room; ++i)
                objects[i] = nullptr;
            *count = 0;
            return hr;
        }
        return keychain::ListObjects(m_card, identities, objects, count, type, keyId, label);
    }
    HRESULT getRandom(unsigned char* buffer, unsigned long length) override
    {
        if (buffer == nullptr || length > kMaxRandom)
            return E_INVALIDARG;
        if (length == 0)
            return S_OK;
        return m_card->Random(buffer, length);
    }

private:
    const GUID& Iid() const override { return IID_SecToken; }

    const CardPtr m_card;
    const std::string m_name;
    const std::string m_label;
    const std::string m_serial;
    const std::string m_model;
};

}  // namespace

HRESULT NewCardPin(CardPtr card, CK_USER_TYPE user, TokenPIN** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new (std::nothrow) CardPin(std::move(card), user);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT NewCardToken(CardPtr card, std::string name, SecToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CK_TOKEN_INFO info {};
    HRESULT hr = card->TokenInfo(&info);
    if (FAILED(hr))
        return hr;
    try {
        *out = new CardToken(std::move(card), std::move(name), Unpadded(info.label, sizeof info.label),
                             Unpadded(info.serialNumber, sizeof info.serialNumber),
                             Unpadded(info.model, sizeof info.model));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace kestrin::qevcrypto::pcsc

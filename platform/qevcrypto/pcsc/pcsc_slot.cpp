// The "secpcsc:" slots: a PC/SC reader, named after the prefix, whose card
// pcsc-lite reports and whose token the PKCS#11 module serves. A slot keeps
// the token of the card now in its reader; a card taken out and put back
// gets a new token.
#include <cstring>
#include <mutex>
#include <new>

#include "card.h"
#include "lib_object.h"
#include "qev_results.h"
#include "read_only_token.h"
#include "slot_schemes.h"

namespace kestrin::qevcrypto::pcsc {
namespace {

constexpr const char kPrefix[] = "secpcsc:";

class PcscSlot final : public LibObject<SecSlot> {
public:
    PcscSlot(std::string name, std::string reader) : m_name(std::move(name)), m_reader(std::move(reader)) {}

    const char* getType() override { return "PcscSlot"; }
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
        CardState state;
        HRESULT hr = ReadCardState(m_reader, &state);
        if (FAILED(hr))
            return hr;
        return state.present ? S_OK : E_TOKEN_NOCARD;
    }
    HRESULT getP11SlotInfo(CK_SLOT_INFO* info) override
    {
        if (info == nullptr)
            return E_POINTER;
        std::memset(info, 0, sizeof *info);
        keychain::BlankPadded(info->slotDescription, m_reader);
        keychain::BlankPadded(info->manufacturerID, "");
        info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (tokenInserted() == S_OK ? CKF_TOKEN_PRESENT : 0);
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
        if (m_token != nullptr && m_token->isValid() != S_OK) {
            m_token->Release();
            m_token = nullptr;
        }
        if (m_token == nullptr) {
            CardPtr card;
            HRESULT hr = Card::Open(m_reader, &card);
            if (FAILED(hr))
                return hr;
            hr = NewCardToken(std::move(card), m_name, &m_token);
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
    ~PcscSlot() override
    {
        if (m_token != nullptr)
            m_token->Release();
    }
    const GUID& Iid() const override { return IID_SecSlot; }

    const std::string m_name;
    const std::string m_reader;
    std::mutex m_tokenLock;
    SecToken* m_token = nullptr;  // one reference while the slot holds its token
};

// A reader name pcsc-lite can carry: not empty, shorter than its limit.
HRESULT OpenPcscSlot(const char* name, SecSlot** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    const size_t length = std::strlen(name);
    const size_t prefix = sizeof kPrefix - 1;
    if (length == prefix || length - prefix >= kMaxReaderName)
        return E_PSE_NOTFOUND;
    *out = new (std::nothrow) PcscSlot(name, name + prefix);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

SlotScheme s_scheme(kPrefix, &OpenPcscSlot);

}  // namespace
}  // namespace kestrin::qevcrypto::pcsc

// One insertion of a card: the PKCS#11 session on the module slot that serves
// its reader, and the card's identities (certificates by their CKA_ID) as the
// source of the library's token objects. Once the card has left the reader
// every operation answers E_TOKEN_NOCARD, even after it comes back.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "card_state.h"
#include "keychain_objects.h"
#include "p11_module.h"

namespace kestrin::qevcrypto::pcsc {

class Card final : public keychain::IdentitySource {
public:
    // The card in the reader now: E_TOKEN_NOCARD without one, E_TOKEN_NOTFOUND
    // when the module serves no token for the reader.
    static HRESULT Open(const std::string& reader, std::shared_ptr<Card>* out);
    ~Card() override;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // S_OK while the card of this insertion is still in its reader.
    HRESULT Check() const;
    const std::string& reader() const { return m_reader; }

    // The library's code of a module result; a wrong PIN carries the tries
    // left of `user` when the module tells them.
    HRESULT Result(CK_RV rv, CK_USER_TYPE user = CKU_USER) const;

    HRESULT TokenInfo(CK_TOKEN_INFO* info) const;
    // The certificates that decode, in the module's order.
    HRESULT Identities(std::vector<keychain::IdentityPtr>* out);

    // PIN operations of the session (`user`: CKU_USER or CKU_SO).
    HRESULT Verified(CK_USER_TYPE user);
    HRESULT Login(CK_USER_TYPE user, const char* pin);
    HRESULT Logout();
    HRESULT ChangePin(const char* oldPin, const char* newPin);
    HRESULT InitPin(const char* pin);
    HRESULT Random(unsigned char* buffer, unsigned long length);

    // keychain::IdentitySource
    HRESULT Present(const keychain::IdentityInfo& identity) override;
    HRESULT Sign(const keychain::IdentityInfo& identity, const AlgId* algorithm, bool digestInput,
                 std::span<const uint8_t> input, std::vector<uint8_t>* signature) override;
    HRESULT Decrypt(const keychain::IdentityInfo& identity, const AlgId* algorithm, std::span<const uint8_t> input,
                    ossl::SecretBytes* plain) override;
    HRESULT Path(const keychain::IdentityInfo& identity, std::vector<std::vector<uint8_t>>* path,
                 std::vector<uint8_t>* root) override;

private:
    Card(ModulePtr module, CK_SLOT_ID slot, std::string reader, CardState state, CK_SESSION_HANDLE session)
        : m_module(std::move(module))
        , m_slot(slot)
        , m_reader(std::move(reader))
        , m_state(std::move(state))
        , m_session(session)
    {}

    CK_FUNCTION_LIST* f() const { return m_module->f(); }
    // Under m_lock: the handles of the objects matching the template.
    HRESULT Find(CK_ATTRIBUTE* match, CK_ULONG count, std::vector<CK_OBJECT_HANDLE>* out);
    HRESULT Bytes(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* out);
    HRESULT CertificateDers(std::vector<std::vector<uint8_t>>* out);
    HRESULT PrivateKey(const keychain::IdentityInfo& identity, CK_OBJECT_HANDLE* out);
    HRESULT RunSign(CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism, std::span<const uint8_t> input,
                    std::vector<uint8_t>* out);

    const ModulePtr m_module;
    const CK_SLOT_ID m_slot;
    const std::string m_reader;
    const CardState m_state;
    std::mutex m_lock;  // one operation of the session at a time
    const CK_SESSION_HANDLE m_session;
};

using CardPtr = std::shared_ptr<Card>;

// The card's token and PIN objects.
HRESULT NewCardToken(CardPtr card, std::string name, SecToken** out);
HRESULT NewCardPin(CardPtr card, CK_USER_TYPE user, TokenPIN** out);

}  // namespace kestrin::qevcrypto::pcsc

// ZELK::ZELKPSE::PSEKeychain: the Token of a "tokkeychain:" slot of the key
// store. It re-reads its token before it answers, takes its trusted
// certificates from the key store's trust settings, counts changes of the
// key store's identities, reports them through slot-event objects and hands
// out Kerberos tickets as application objects.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "keystore.h"
#include "token_pse.h"

namespace ZELK::ZELKPSE {

class PSEKeychain : public Token {
public:
    static HRESULT New(const char* name, PSE** out);

    HRESULT Init(const char* name);

    HRESULT getOwnCertificate(const History* history, SECAttribute* filter,
                              SET_OF_PersonalCertificateInfo** out) override;
    HRESULT readApplObject(const char* name, OctetString** out) override;
    HRESULT getSlots(SecSlot** slots, unsigned long* count) override;
    HRESULT getSlotEvents(SecSlotEvents** out) override;

    uint64_t ChangeCount() const { return m_changes.load(); }

    class SlotEvents;

protected:
    PSEKeychain() = default;
    // The subscription goes before the store and before the counter it feeds.
    ~PSEKeychain() override = default;

private:
    void ReadTrustSettings();

    std::string m_name;
    std::atomic<uint64_t> m_changes {0};
    bool m_noToken = false;
    std::unique_ptr<kestrin::keystore::KeyStore> m_store;
    kestrin::keystore::Subscription m_subscription;
};

// Reports changes of its keychain PSE, which it holds a reference on.
class PSEKeychain::SlotEvents : public SecSlotEvents, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(SlotEvents)
    ZELK_INTMAP_ENTRY_IID(IID_IUnknown, SecSlotEvents)
    ZELK_END_INTMAP()

    explicit SlotEvents(PSEKeychain* owner);
    ~SlotEvents() override;

    const char* getType() override { return nullptr; }
    HRESULT cpy(SecSlotEvents** out) override;
    int cmp(const SecSlotEvents*) override { return 0; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return S_OK; }

    // Waits, polling every 100 ms, until the key store changed since the last
    // change reported (or the object was made). *slot: the PSE's slot, NULL
    // first. Flag SLOT_EVENT_DONT_BLOCK answers SLOT_EVENT_NONE at once when
    // nothing changed; a cancelled object answers SLOT_EVENT_CANCELLED.
    HRESULT wait(unsigned long flags, SecSlot** slot) override;
    HRESULT cancel() override;

private:
    std::atomic<bool> m_cancelled {false};
    std::atomic<uint64_t> m_seen;
    PSEKeychain* m_owner;
};

}  // namespace ZELK::ZELKPSE

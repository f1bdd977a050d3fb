// The keychain monitor ("zelk.keychainmonitor"): every identity of the user's
// key store that passes the certificate filter of "Common/CAPI" becomes a
// slot "tokkeychain:cert=<SHA-1 of the certificate>" of the reader manager,
// loaded at start and again after every change of the store's identities;
// identities that went or stopped passing are reported removed. The
// system's own enrolled identities never show.
#pragma once

#include <memory>

#include "keystore.h"
#include "monitor.h"

ZELK_DEFINE_GUID(IID_CKeychainMonitor, 0x2F8C61D4, 0x7A35, 0x4E09, 0x93, 0xB2, 0x5C, 0x18, 0xE6, 0x4D, 0xA7, 0x30);

namespace ZELK::PSESVC {

class CKeychainMonitor : public CMonitor, public CSingletonFactoryImpl<CKeychainMonitor>, public CModDetector {
public:
    ZELK_BEGIN_INTMAP(CKeychainMonitor)
    ZELK_INTMAP_ENTRY_CLASS(IID_CKeychainMonitor)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CKeychainMonitor; }

    // The notify thread ends before the store and the subscriptions go.
    ~CKeychainMonitor() override;

    HRESULT Initialize() override;
    HRESULT Finalize() override;
    HRESULT Reload() override;
    // Opens the store and subscribes to its changes before the first load; a
    // store that cannot be opened is traced and its failure answered.
    HRESULT NotifyThread_Initialize() override;
    // Ends the subscriptions (waiting for a callback that runs) and closes the store.
    HRESULT NotifyThread_Finalize() override;

    // Identities changed: a reload, and the trust list may have changed too.
    HRESULT KeychainCallback();
    // Trust settings changed: only the trust list.
    HRESULT KeychainCallbackTrust();

private:
    // Used on the notify thread only.
    std::unique_ptr<kestrin::keystore::KeyStore> m_store;
    kestrin::keystore::Subscription m_identities;
    kestrin::keystore::Subscription m_trust;
};

}  // namespace ZELK::PSESVC

// Trusted certificates of the key store: those whose effective trust
// setting (user over admin over system domain) is "trusted", and the
// system's CA bundle unless a domain denies one. Read again after SetDirty,
// which the key store's trust-change notices call too.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "keystore.h"
#include "trust_provider.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CTrustKeychain, 0x2F6C1B7E, 0x94D3, 0x4A28, 0xB1, 0x5E, 0x7C, 0x08, 0xA3, 0x6D, 0xF2, 0x91);

namespace ZELK::PSESVC {

class CTrustKeychain : public ITrustProvider, public CSingletonFactoryImpl<CTrustKeychain>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTrustKeychain)
    ZELK_INTMAP_ENTRY(ITrustProvider)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CTrustKeychain; }

    CTrustKeychain() = default;
    ~CTrustKeychain() override;

    HRESULT SetURI(const char* uri) override;
    // Reads the key store when marked dirty: 0; 1 when nothing was read.
    HRESULT Refresh() override;
    HRESULT GetCertList(SET_OF_Certificate** list) override;
    HRESULT Finalize() override;

    // Marks the provider for reading when it exists; 0.
    static HRESULT SetDirty();
    // Where the system's CA bundle lies (a hashed folder or a bundle file);
    // the key store's default until set.
    static void SetSystemAnchors(const std::string& where);

private:
    void Load();

    std::atomic<bool> m_dirty {true};
    SET_OF_Certificate* m_list = nullptr;
    std::unique_ptr<kestrin::keystore::KeyStore> m_store;
    kestrin::keystore::Subscription m_changes;
};

}  // namespace ZELK::PSESVC

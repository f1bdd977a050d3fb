// The service's trust store: the trusted certificates that the crypto
// library's own PSE lists, taken in whenever that list may have changed.
#pragma once

#include <mutex>
#include <vector>

#include "qev_pse.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CTrust, 0x1E6A3C08, 0x5D92, 0x47B1, 0x8C, 0x4F, 0xA0, 0x27, 0xE9, 0x63, 0x5B, 0x14);

namespace ZELK::PSESVC {

class CTrust : public IUnknown, public CSingletonFactoryImpl<CTrust>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTrust)
    ZELK_INTMAP_ENTRY_CLASS(IID_CTrust)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CTrust; }

    CTrust() = default;
    ~CTrust() override;

    // Replaces the store's certificates by the PSE's trusted list (none for a
    // NULL PSE); the list's failure leaves the store as it was.
    virtual HRESULT importTrustFromPSE(PSE* pse);
    // 1 when an equal certificate is trusted, 0 when not.
    virtual HRESULT isInTrustedCerts(const Certificate* certificate);
    // New lists that the caller frees.
    virtual HRESULT getAllTrustedCerts(SET_OF_Certificate** out);
    virtual HRESULT getTrustedCertList(SET_OF_Certificate** out);

private:
    void Clear();

    std::mutex m_lock;
    std::vector<Certificate*> m_certificates;
};

// The trust settings of the user's key store as a provider of the trust store.
class CTrustKeychain {
public:
    // Marks the provider's list for reloading when its singleton exists; 0.
    static HRESULT SetDirty();
};

}  // namespace ZELK::PSESVC

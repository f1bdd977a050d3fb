// The service's trust store: the certificates its configured provider
// ("TrustDB" under "Common") trusts, merged into one list and refreshed on
// every question.
#pragma once

#include "../core/aux_arrays.h"
#include "qev_pse.h"
#include "trust_keychain.h"
#include "trust_provider.h"
#include "zelk_object.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_CTrust, 0xCBFAF3D7, 0x56AE, 0x4AEF, 0x90, 0xE8, 0x7B, 0xA7, 0x61, 0x5B, 0xE2, 0x78);

namespace ZELK::PSESVC {

class CTrust : public IUnknown, public CSingletonFactoryImpl<CTrust>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTrust)
    ZELK_INTMAP_ENTRY_CLASS(IID_CTrust)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CTrust; }

    CTrust() = default;
    ~CTrust() override;

    // 0 when the PSE's trusted certificates changed since the last call (the
    // store is then merged anew), 1 when they did not.
    virtual HRESULT importTrustFromPSE(PSE* pse);
    // 1 when an equal certificate is trusted, 0 when not.
    virtual HRESULT isInTrustedCerts(const Certificate* certificate);
    // The trusted list with a reference for the caller (NULL when empty); 0.
    virtual HRESULT getAllTrustedCerts(SET_OF_Certificate** list);
    virtual HRESULT getTrustedCertList(SET_OF_Certificate** list);
    // The providers' sources are not changed through the store: a refresh; 0.
    virtual HRESULT addTrustedCertListItem(const Certificate* certificate);
    virtual HRESULT deleteTrustedCertListItem(const DName* name, unsigned long number);

    // Refreshes the providers and merges their lists when one changed or
    // when forced; 0 when merged, 1 when not. `list` (NULL allowed) receives
    // the trusted list with a reference.
    HRESULT Refresh(SET_OF_Certificate** list, signed char force);
    // Chooses the provider by "TrustDB", once per process; 1.
    HRESULT InitProviders();

private:
    bool m_providersInitialised = false;
    AuxRefArray<ITrustProvider> m_providers;
    SET_OF_Certificate* m_trusted = nullptr;
    SET_OF_Certificate* m_pseList = nullptr;
    CriticalSection m_cs;
};

}  // namespace ZELK::PSESVC

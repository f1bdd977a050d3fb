// A source of trusted certificates for the trust store: the key store's
// trust settings, certificate files or the certificates of the tokens.
#pragma once

#include "qev_values.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_ITrustProvider, 0xD4099646, 0x8406, 0x4164, 0xA6, 0x97, 0x4B, 0x66, 0xFF, 0xFD, 0x29, 0x4B);

namespace ZELK::PSESVC {

class ITrustProvider : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ITrustProvider; }

    // The configured "TrustDB" value; 0.
    virtual HRESULT SetURI(const char* uri) = 0;
    // 0 when the list may have changed, 1 when it has not.
    virtual HRESULT Refresh() = 0;
    // The provider's list with a reference for the caller (NULL when it has
    // none); 0.
    virtual HRESULT GetCertList(SET_OF_Certificate** list) = 0;

protected:
    ~ITrustProvider() = default;
};

// Hands out a counted certificate list with a reference of its own (NULL
// stays NULL).
void ShareCertList(SET_OF_Certificate* list, SET_OF_Certificate** out);
// Drops one reference of a counted certificate list.
void ReleaseCertList(SET_OF_Certificate*& list);
// 0 when both lists hold equal certificates in the same order.
int CompareCertLists(const SET_OF_Certificate* a, const SET_OF_Certificate* b);
// Traces "Trusted Cert: <subject>" for every certificate of the list.
void TraceCertList(const SET_OF_Certificate* list);

}  // namespace ZELK::PSESVC

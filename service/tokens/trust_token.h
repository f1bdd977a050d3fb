// Trusted certificates of the tokens: the token manager's distinct
// additional certificates of all tokens, asked for on every refresh.
#pragma once

#include "trust_provider.h"
#include "zelk_object.h"

namespace ZELK::PSESVC {

class CTrustToken : public ITrustProvider, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTrustToken)
    ZELK_INTMAP_ENTRY(ITrustProvider)
    ZELK_END_INTMAP()

    CTrustToken() = default;
    ~CTrustToken() override;

    HRESULT SetURI(const char* uri) override;
    // 0 when the tokens' list differs from the last one, else 1.
    HRESULT Refresh() override;
    HRESULT GetCertList(SET_OF_Certificate** list) override;

private:
    SET_OF_Certificate* m_list = nullptr;
};

}  // namespace ZELK::PSESVC

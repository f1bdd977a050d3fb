// The candidates of a connection's credential choice: the own certificates
// and the Kerberos item, restricted to the connection's allowed tokens, to the
// certificate filter of its application policy and to the issuers that the
// server accepts.
#pragma once

#include "../model/model_filter.h"
#include "certificate_filter.h"
#include "qev_records.h"
#include "zelk_gui_model.h"
#include "zelk_holders.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {

class ModelFilterCerts : public CModelFilter {
public:
    ModelFilterCerts() = default;
    ~ModelFilterCerts() override;

    // A new container over "zelk.model.owncerts.and.kerberos.ex"; every
    // restriction may be absent. The lists are shared (one more reference).
    static HRESULT New(ZELK_IPolicy* policy, const SET_OF_String* tokenURIs, const SET_OF_DName* issuers,
                       const GUID& iid, void** out);
    static HRESULT New(ZELK_IPolicy* policy, const SET_OF_DName* issuers, const GUID& iid, void** out);
    static HRESULT New(ZELK_IPolicy* policy, const SET_OF_DName* issuers, IGUIModelContainer** out);
    static HRESULT New(ZELK_IPolicy* policy, const SET_OF_String* tokenURIs, const SET_OF_DName* issuers,
                       IGUIModelContainer** out);

    HRESULT RefreshCB(unsigned long key) override;
    bool IsMember(IGUIModel* element) override;
    // The certificate or a certificate of its chain was issued by `issuer`.
    virtual bool IsIssuedBy(const PersonalCertificateInfo* info, const DName* issuer);

private:
    ZELK_PTR(ZELK_IPolicy) m_policy;
    // A second form of allowed token URIs; nothing fills it, and the flag
    // that would make it admit nothing when empty is never set.
    MultiStringT m_tokenURIsText;
    bool m_emptyAdmitsNothing = false;
    SET_OF_String* m_tokenURIs = nullptr;
    SET_OF_DName* m_issuers = nullptr;
    AuxRefPtr<CCertificateFilter> m_filter;
};

}  // namespace ZELK::PSESVC

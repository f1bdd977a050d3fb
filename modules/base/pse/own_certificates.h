// The own certificates of the process's PSE ("OwnCertificates") as read-only
// attribute views, one COwnCertificate per PersonalCertificateInfo record.
#pragma once

#include "certificate/container_impl.h"
#include "qev_records.h"
#include "zelk_base_asc.h"
#include "zelk_holders.h"
#include "zelk_object.h"

ZELK_AUX_TYPE_INDEX(PersonalCertificateInfo, SEC_TYPE_PersonalCertificateInfo);
ZELK_AUX_TYPE_INDEX(SET_OF_PersonalCertificateInfo, SEC_TYPE_SET_OF_PersonalCertificateInfo);

namespace kestrin::base {

class COwnCertificate : public IAttributes, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(COwnCertificate)
    ZELK_INTMAP_ENTRY(IAttributes)
    ZELK_END_INTMAP()

    // A new object that takes `record` over, with one reference for the caller.
    static HRESULT New(PersonalCertificateInfo* record, COwnCertificate** out);

    // Always 0x80070005: the view is read-only.
    int SetAttr(const SECAttribute* attributes) override;
    // Token URI (240), key identifier (58) and label (13) as copies; 1 when
    // an identifier was not answered.
    int GetAttr(SECAttribute* attributes) override;
    virtual HRESULT Init(PersonalCertificateInfo* record);
    // Whether `record` is the very record held (not an equal one).
    virtual bool Match(PersonalCertificateInfo* record);

private:
    AuxPtr<PersonalCertificateInfo, PersonalCertificateInfo> m_record;
};

class COwnCertificates : public CContainerUnkImpl<COwnCertificate, IContainerRO>,
                         public CSingletonFactoryImpl<COwnCertificates>,
                         public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(COwnCertificates)
    ZELK_INTMAP_ENTRY(IContainerRO)
    ZELK_END_INTMAP()

    // The first refresh.
    COwnCertificates();

    // The creator of "OwnCertificates": binds "SEC_PSE_1" first.
    static HRESULT New(const GUID& iid, void** out);

    // Reloads the list from the PSE; items of records handed out again stay.
    virtual HRESULT Refresh();
};

}  // namespace kestrin::base

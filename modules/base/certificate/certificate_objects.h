// CCertificate, the read-only attribute view of one certificate, and
// CCertificates ("Certificates"), the process-wide cache that hands out one
// view per distinct certificate.
#pragma once

#include "container_impl.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_sync.h"

namespace kestrin::base {

class CCertificate : public IAttributes, public CComObjectRoot {
public:
    // A new view holding `cert` (NULL allowed) with one reference for the caller.
    static HRESULT New(const Certificate* cert, CCertificate** out);

    // Always 0x80070005: the view is read-only.
    int SetAttr(const SECAttribute* attributes) override;
    // Issuer (54) and subject (55) as name texts, serial (56) as hexadecimal
    // text; 1 when an identifier was not answered.
    int GetAttr(SECAttribute* attributes) override;
    virtual bool Match(const Certificate* cert);

    ZELK_BEGIN_INTMAP(CCertificate)
    ZELK_INTMAP_ENTRY(IAttributes)
    ZELK_END_INTMAP()

protected:
    AuxRefPtr<Certificate, Certificate> m_cert;
};

class CCertificates : public CContainerUnkImpl<CCertificate, IContainerRO>,
                      public CSingletonFactoryImpl<CCertificates>,
                      public CComObjectRoot {
public:
    // The view of a certificate equal to `cert`, made and kept on first
    // request; one reference for the caller.
    virtual int GetCert(const Certificate* cert, CCertificate** out);

    int GetCount(unsigned long* count) override;
    int GetItem(unsigned long index, const GUID& iid, void** out) override;
    int GetItem(unsigned long index, CCertificate** out) override;

    ZELK_BEGIN_INTMAP(CCertificates)
    ZELK_INTMAP_ENTRY(IContainerRO)
    ZELK_INTMAP_ENTRY_CLASS(IID_CCertificates)
    ZELK_END_INTMAP()

private:
    // The cache is shared by every thread of the process.
    ZELK::CriticalSection m_lock;
};

}  // namespace kestrin::base

// Certificate rows: a certificate item ("verb.show.cert" shows one) and the
// container "zelk.certsinfo" that keeps one item per certificate.
#pragma once

#include "gui_model_container.h"
#include "gui_verb.h"
#include "qev_records.h"
#include "zelk_holders.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CModelCert, 0xCBFAB343, 0xFF63, 0x434D, 0x9D, 0x91, 0xEC, 0x9B, 0x4D, 0x3E, 0xB1, 0xB2);
ZELK_DEFINE_GUID(IID_CModelCerts, 0x0AA0A0AB, 0x4ADE, 0x4520, 0x98, 0x9F, 0xAD, 0xA0, 0x37, 0x9D, 0x91, 0xC0);

ZELK_AUX_TYPE_INDEX(PersonalCertificateInfo, SEC_TYPE_PersonalCertificateInfo);

namespace ZELK::PSESVC {

// The subject of a certificate as the library's name text; empty without one.
StringT<char> CertSubjectText(const Certificate* cert);

class CModelCert : public CGUIModelItem<IGUIModelCert>,
                   public CGUIModelVerbs,
                   public CFactoryImpl<CModelCert>,
                   public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelCert)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelCert)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelCert)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelCert)
    ZELK_INTMAP_ENTRY(IGUIModelCert)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelCert; }

    CModelCert() = default;
    ~CModelCert() override;

    // A new item over a copy of `cert`; 0x80000003 for a NULL argument.
    static HRESULT New(const Certificate* cert, CModelCert** out);
    // The fingerprint text of `cert` into `text` unless `text` is set already.
    static HRESULT GetFingerprint(const Certificate* cert, StringT<char>& text);

    HRESULT RefreshItemInfo() override;
    // 1 when `other` is no certificate item; else the certificates' comparison.
    int Compare(IGUIModelCert* other) override;
    const Certificate* GetCert() override { return m_cert; }
    const char* GetFingerprint() override;
    // The held certificate compares equal to `cert`.
    virtual bool IsEqual(const Certificate* cert);

private:
    Certificate* m_cert = nullptr;
    StringT<char> m_fingerprint;
};

class CModelCerts : public CGUIModelContainer<IGUIModelCerts, CModelCert>,
                    public CSingletonFactoryImpl<CModelCerts>,
                    public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelCerts)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelCerts)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelCerts)
    ZELK_INTMAP_ENTRY(IGUIModelCerts)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelCerts)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelCerts; }

    // The item of an equal certificate, or a new one appended; `out` may be NULL.
    virtual HRESULT AddCert(const Certificate* cert, CModelCert** out);
    // Removes the first equal item; 0 either way.
    virtual HRESULT DelCert(const Certificate* cert);
    // 1 when no item holds an equal certificate.
    virtual HRESULT GetCert(const Certificate* cert, CModelCert** out);
    // 1 for a NULL certificate; else AddCert of the singleton.
    static HRESULT NewCertInfo(const Certificate* cert, CModelCert** out);
};

}  // namespace ZELK::PSESVC

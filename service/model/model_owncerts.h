// Own-certificate rows: one personal credential (certificate with private
// key) that a token offers, with the token's verbs after its own
// use-for-application verb; the containers "zelk.model.owncerts" and
// "zelk.model.disabledcerts" that the tokens fill.
#pragma once

#include "gui_model_container.h"
#include "gui_verbs_apps.h"
#include "model_certs.h"
#include "zelk_holders.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CModelOwnCert, 0xFBBD379B, 0xEC7E, 0x4D22, 0xAA, 0xC5, 0x89, 0x59, 0x1C, 0x28, 0x3E, 0x63);
ZELK_DEFINE_GUID(IID_CModelOwnCerts, 0x2EA373D1, 0x5D61, 0x4C7E, 0x8F, 0x43, 0xC6, 0x3E, 0x9C, 0x7A, 0x40, 0x56);
ZELK_DEFINE_GUID(IID_CModelDisabledCerts, 0xDDA92245, 0x0831, 0x47B8, 0x94, 0xC8, 0x10, 0x6B, 0xA1, 0xD0, 0xE4, 0xA2);

namespace ZELK::PSESVC {

class CToken;

class CModelOwnCert : public CGUIModelItem<IGUIModelOwnCert>,
                      public CGUIModelVerbsWithApps,
                      public CGUIModelSelectedApps,
                      public CFactoryImpl<CModelOwnCert>,
                      public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelOwnCert)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelOwnCert)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelOwnCert)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelOwnCert)
    ZELK_INTMAP_ENTRY(IGUIModelOwnCert)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelSelectedApps, CGUIModelSelectedApps)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelOwnCert; }

    CModelOwnCert() = default;

    // A new item over a copy of `pci` registered under `slot`.
    static HRESULT New(const PersonalCertificateInfo* pci, const char* slot, CModelOwnCert** out);

    HRESULT RefreshItemInfo() override;
    // 1 when `other` is no own certificate; else by subject without and with
    // case, the newer validity start first, then the PCIs.
    int Compare(IGUIModelCert* other) override;
    const Certificate* GetCert() override;
    const char* GetFingerprint() override;
    const PersonalCertificateInfo* GetPCI() override { return m_pci; }
    const char* GetSlot() override { return m_slot; }
    const char* GetURI() override;
    const char* GetTokenURI() override;
    virtual bool IsEqual(const PersonalCertificateInfo* pci);
    virtual bool IsInSlot(const char* slot);

private:
    AuxPtr<PersonalCertificateInfo> m_pci;
    StringT<char> m_fingerprint;
    StringT<char> m_slot;
};

class CModelOwnCertsBase : public CGUIModelContainer<IGUIModelOwnCerts, CModelOwnCert>, public CComObjectRoot {
public:
    // The element of an equal PCI, else a new item with the token's verbs;
    // `out` may be NULL.
    virtual HRESULT AddCert(const PersonalCertificateInfo* pci, const char* slot, CModelOwnCert** out);
    // Removes the first element of an equal PCI; 0 either way.
    virtual HRESULT DelCert(const PersonalCertificateInfo* pci);
    // Removes every element of that slot; 0.
    virtual HRESULT DelCertsBySlot(const char* slot);

    // The token of that name from the token manager with a reference; 1
    // (and NULL) when it has none.
    static HRESULT FindToken(const char* name, CToken** out);
};

class CModelDisabledCerts : public CModelOwnCertsBase, public CSingletonFactoryImpl<CModelDisabledCerts> {
public:
    ZELK_BEGIN_INTMAP(CModelDisabledCerts)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelDisabledCerts)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelOwnCerts)
    ZELK_INTMAP_ENTRY(IGUIModelOwnCerts)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelOwnCerts)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelDisabledCerts; }

    // The singleton with a reference when it exists; 1 (and NULL) when not.
    static HRESULT Existing(CModelDisabledCerts** out);
};

class CModelOwnCerts : public CModelOwnCertsBase, public CSingletonFactoryImpl<CModelOwnCerts> {
public:
    ZELK_BEGIN_INTMAP(CModelOwnCerts)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelOwnCerts)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelOwnCerts)
    ZELK_INTMAP_ENTRY(IGUIModelOwnCerts)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelOwnCerts)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelOwnCerts; }

    using CModelOwnCertsBase::AddCert;
    // With `disabled`, adds to "zelk.model.disabledcerts" instead.
    virtual HRESULT AddCert(const PersonalCertificateInfo* pci, const char* slot, CModelOwnCert** out, bool disabled);
    // First on the disabled certificates (when they exist), then here.
    HRESULT DelCert(const PersonalCertificateInfo* pci) override;
    HRESULT DelCertsBySlot(const char* slot) override;
    // 1 when none is equal.
    virtual HRESULT GetCert(const PersonalCertificateInfo* pci, CModelOwnCert** out);
    // The slot's credential number `index`; 1 when it has fewer.
    virtual HRESULT GetCertBySlot(const char* slot, unsigned long index, IGUIModelOwnCert** out);
    // Sets the states of the token's verbs from its login state; 0.
    virtual HRESULT Refresh(const char* tokenName);
};

}  // namespace ZELK::PSESVC

// The Kerberos row "zelk.kerberosinfo": the logged-in user's Kerberos
// identity as the Kerberos token last read it, a credential that can be
// chosen for applications. It exists only where the crypto library offers
// Kerberos.
#pragma once

#include "gui_model_base.h"
#include "gui_verbs_apps.h"
#include "retained_text.h"
#include "zelk_object.h"
#include "zelk_sync.h"
#include "zelk_text.h"

ZELK_DEFINE_GUID(IID_IGUIModelKerberos, 0x4DACEA0B, 0xC480, 0x41D9, 0x80, 0x55, 0x51, 0xCB, 0x8B, 0xA3, 0xD8, 0x3A);
ZELK_DEFINE_GUID(IID_CModelKerberos, 0xCB478939, 0x325E, 0x45A8, 0xBA, 0x33, 0x9A, 0x9D, 0xF4, 0x17, 0x47, 0xB0);

namespace ZELK::PSESVC {

class IGUIModelKerberos : public IGUIModelItem {
public:
    static const GUID& GetIID() { return IID_IGUIModelKerberos; }
    // UTF-8 texts owned by the row, NULL while unset; valid while it lives.
    virtual const char* GetDisplayName() = 0;
    virtual const char* GetUPN() = 0;
    virtual const char* GetDName() = 0;
};

class CModelKerberos : public CGUIModelItem<IGUIModelKerberos>,
                       public CGUIModelVerbsWithApps,
                       public CGUIModelSelectedApps,
                       public CSingletonFactoryImpl<CModelKerberos>,
                       public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelKerberos)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelKerberos)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelKerberos)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelKerberos)
    ZELK_INTMAP_ENTRY(IGUIModelKerberos)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelSelectedApps, CGUIModelSelectedApps)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelKerberos; }

    CModelKerberos();
    ~CModelKerberos() override;

    const char* GetDisplayName() override;
    const char* GetUPN() override;
    const char* GetDName() override;

    // Stores the values that differ: 1 when none did, else 0 after one
    // revision step.
    virtual HRESULT Update(const wchar_t* displayName, const wchar_t* upn, const wchar_t* dname);
    HRESULT RefreshItemInfo() override;
    const PersonalCertificateInfo* GetPCI() override { return nullptr; }
    const char* GetTokenURI() override { return "kerberos:"; }

    // The creator of the class registry: 0x80000001 where the crypto library
    // offers no Kerberos.
    static HRESULT New(const GUID& iid, void** out);
    template <class I>
    static HRESULT New(I** out)
    {
        return New(I::GetIID(), reinterpret_cast<void**>(out));
    }

private:
    // Guards the six texts.
    CriticalSection m_cs;
    RetainedText m_displayName;
    RetainedText m_upn;
    RetainedText m_dname;
    StringT<wchar_t> m_wDisplayName;
    StringT<wchar_t> m_wUpn;
    StringT<wchar_t> m_wDName;
};

}  // namespace ZELK::PSESVC

// The encryption-only switch "zelk.eom": a row of the credential list whose
// default verb turns the emergency mode on and off. The flag lives in memory
// only; the connection broker asks it at every connection start.
#pragma once

#include <atomic>

#include "gui_model_base.h"
#include "gui_verb.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_IGUIModelEncryptionOnlyMode, 0x3962945F, 0x57E0, 0x4483, 0xAD, 0x4D, 0x2D, 0x34, 0x25, 0x6D, 0x13,
                 0x19);
ZELK_DEFINE_GUID(IID_CModelEncryptionOnlyMode, 0x40447E89, 0xAACC, 0x4656, 0xA5, 0x36, 0x1C, 0xBD, 0xF6, 0x74, 0xC9,
                 0xA6);

namespace ZELK::PSESVC {

class IGUIModelEncryptionOnlyMode : public IGUIModelItem {
public:
    static const GUID& GetIID() { return IID_IGUIModelEncryptionOnlyMode; }
    // Stores the flag (a revision step only when it changed); the new flag.
    virtual int SetEncryptionOnlyMode(bool on) = 0;
    virtual bool IsEncryptionOnlyModeActive() = 0;
};

class CModelEncryptionOnlyMode : public CGUIModelItem<IGUIModelEncryptionOnlyMode>,
                                 public CGUIModelVerbs,
                                 public CSingletonFactoryImpl<CModelEncryptionOnlyMode>,
                                 public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelEncryptionOnlyMode)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelEncryptionOnlyMode)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelEncryptionOnlyMode)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelEncryptionOnlyMode)
    ZELK_INTMAP_ENTRY(IGUIModelEncryptionOnlyMode)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelEncryptionOnlyMode; }

    CModelEncryptionOnlyMode();
    ~CModelEncryptionOnlyMode() override;

    int SetEncryptionOnlyMode(bool on) override;
    bool IsEncryptionOnlyModeActive() override { return m_active.load(); }

    // The verb "verb.toggle.EncryptionOnlyMode": inverts the flag; 0.
    int ToggleMode(ICredUI* dialog);
    HRESULT RefreshItemInfo() override;

    // The singleton through the interface `I`.
    template <class I>
    static HRESULT New(I** out)
    {
        return CSingletonFactoryImpl<CModelEncryptionOnlyMode>::New(I::GetIID(), reinterpret_cast<void**>(out));
    }
    using CSingletonFactoryImpl<CModelEncryptionOnlyMode>::New;

private:
    std::atomic<bool> m_active {false};
    CGUIVerb* m_toggle = nullptr;
};

}  // namespace ZELK::PSESVC

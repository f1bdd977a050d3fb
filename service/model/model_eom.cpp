#include "model_eom.h"

#include "model_text.h"
#include "zelk_class.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.eom", &CSingletonFactoryImpl<CModelEncryptionOnlyMode>::New);

}  // namespace

CModelEncryptionOnlyMode::CModelEncryptionOnlyMode()
{
    if (SUCCEEDED(CGUIVerbImpl<CModelEncryptionOnlyMode>::New(this, &CModelEncryptionOnlyMode::ToggleMode,
                                                              "verb.toggle.EncryptionOnlyMode", &m_toggle))) {
        m_toggle->SetState(IGUIVerb_State_Default);
        IGUIVerb* verb = m_toggle;
        AddVerbs(1, &verb);
    }
}

CModelEncryptionOnlyMode::~CModelEncryptionOnlyMode()
{
    if (m_toggle != nullptr) {
        m_toggle->Detach();
        m_toggle->Release();
    }
}

int CModelEncryptionOnlyMode::SetEncryptionOnlyMode(bool on)
{
    if (m_active.exchange(on) != on)
        NextRevision();
    return on ? 1 : 0;
}

int CModelEncryptionOnlyMode::ToggleMode(ICredUI*)
{
    bool was = m_active.load();
    while (!m_active.compare_exchange_weak(was, !was)) {
    }
    NextRevision();
    return 0;
}

HRESULT CModelEncryptionOnlyMode::RefreshItemInfo()
{
    const bool active = m_active.load();
    SetSortKeyOnce("000/EOM");
    SetItemInfo(active ? ICON_ENCRYPTIONONLY_ACTIVE : ICON_ENCRYPTIONONLY,
                active ? CModel::GetText("ENCRYPTION_ONLY_MODE_IS_ON",
                                         "Encryption only emergency mode is active.\nDouble click to turn on "
                                         "standard behaviour again.")
                       : CModel::GetText("ENCRYPTION_ONLY_MODE_IS_OFF",
                                         "Encryption only emergency mode is not active.\nDouble click if single "
                                         "sign-on failed suddenly."));
    return S_OK;
}

}  // namespace ZELK::PSESVC

// The credential dialog "zelk.dlgcred" of module "zelkgui": a new object per
// creation. Its worker holds the serial queue "kvc.ui" from GuiStart to
// GuiEnd, so only one dialog owns the credential window at a time; the window
// comes up at the first prompt.
#pragma once

#include <atomic>
#include <memory>

#include "zelk_gui.h"
#include "zelk_object.h"

namespace kestrin::app {

class CredentialViewController;
class MainViewController;

// A call on a thread whose wait would stall the dialogs, or out of turn.
constexpr HRESULT E_UNEXPECTED = ZELK_RC(0x8000FFFF);

class CCredUI : public ZELK::PSESVC::ICredUI, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CCredUI)
    ZELK_INTMAP_ENTRY_IID(IID_ICredUI, ZELK::PSESVC::ICredUI)
    ZELK_END_INTMAP()

    CCredUI();
    // Ends a worker that GuiEnd did not end, without waiting for it.
    ~CCredUI() override;

    // The creator of "zelk.dlgcred": 0x80004005 and NULL while headless.
    static HRESULT New(const GUID& iid, void** out);

    HRESULT GuiStart(GUIMODE mode, bool wait) override;
    HRESULT GuiEnd() override;
    HRESULT GuiUpdate(GUIITEM item, const wchar_t* text, unsigned long value) override;
    HRESULT GuiGetAskObject(ZELK::PSESVC::ICredUIAsk** out, ZELK::PSESVC::ICredUIAsk::ASK_PRESETS preset,
                            const char* name) override;
    HRESULT GuiGetAskObjectW(ZELK::PSESVC::ICredUIAsk** out, ZELK::PSESVC::ICredUIAsk::ASK_PRESETS preset,
                             const wchar_t* name) override;
    HRESULT GuiAsk(const wchar_t* text, ZELK::PSESVC::ICredUIAsk* first, ZELK::PSESVC::ICredUIAsk* second,
                   ZELK::PSESVC::ICredUIAsk* third, ZELK::PSESVC::ICredUIAsk* fourth) override;
    HRESULT GuiAsk(const wchar_t* text, unsigned long count, ZELK::PSESVC::ICredUIAsk** fields,
                   signed char flag) override;
    HRESULT GuiCancelAsk() override { return S_OK; }
    HRESULT GuiSetPinCount(int, bool) override { return S_OK; }
    HRESULT GuiSetLastError(int) override { return S_OK; }
    bool GuiIsAborted() override { return false; }
    bool GuiIsInteractive() override { return false; }
    HRESULT SetEventCallBack(ICredEventCallback*) override { return S_OK; }
    HRESULT SetMessage(const wchar_t* text) override;
    HRESULT GetMessage(wchar_t** out, signed char withDescription) override;
    HRESULT SetOpDesc(const wchar_t* text) override;
    HRESULT GetOpDesc(wchar_t** out) override;

    // Brings the credential window up for this dialog (waiting for earlier
    // dialogs to end); 0x80000007 when it cannot come up any more.
    virtual HRESULT GuiShow();

    struct State;

private:
    // Fetches the two content controllers on the GUI thread.
    bool Controllers();

    std::shared_ptr<State> m_state;
    CredentialViewController* m_cred = nullptr;
    MainViewController* m_main = nullptr;
    wchar_t* m_message = nullptr;
    wchar_t* m_opDesc = nullptr;
};

}  // namespace kestrin::app

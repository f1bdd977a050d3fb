// The local HTTPS server's row "zelk.localserver" and its one-element
// container "zelk.localservers": the profile monitor shows or hides the row,
// the local-server token hands it its token, certificate, port and messages.
// Removing the row keeps the item: showing it again brings back its state.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "gui_model_base.h"
#include "gui_model_container.h"
#include "gui_verb.h"
#include "qev_values.h"
#include "zelk_gui_model.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CModelLocalServer, 0x5C07C99A, 0x4506, 0x4583, 0xA4, 0xF3, 0x37, 0x14, 0xE0, 0xB2, 0xA9, 0xE7);

namespace ZELK::PSESVC {

class CToken_LocalServer;

class CModelLocalServer : public CGUIModelItem<IGUIModelLocalServer>,
                          public CGUIModelVerbs,
                          public CSingletonFactoryImpl<CModelLocalServer>,
                          public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelLocalServer)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelLocalServer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelLocalServer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelLocalServer)
    ZELK_INTMAP_ENTRY(IGUIModelLocalServer)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelLocalServer; }

    CModelLocalServer();
    ~CModelLocalServer() override;

    const Certificate* GetCert() override;
    unsigned short GetPort() override;
    const wchar_t* GetMessage() override;
    bool IsWarning() override { return m_warning.load(); }

    HRESULT RefreshItemInfo() override;
    // Running with `cert` on `port`; 0.
    virtual HRESULT Start(const Certificate* cert, unsigned short port);
    // Stopped: no certificate, port 0; 0.
    virtual HRESULT Stop();
    virtual HRESULT SetToken(CToken_LocalServer* token);
    virtual HRESULT SetMessage(const wchar_t* text, bool warning);
    // The verb "verb.update": a new identity through the held token; 0.
    virtual int Update(ICredUI* dialog);
    // The verb "verb.show.cert": the served certificate in the dialog; 0.
    virtual int ShowCert(ICredUI* dialog);

    // Verbs run inside the held token's verb gate, so an update never runs
    // beside the token's own login or logout, nor beside another update.
    HRESULT DoVerbBegin(ICredUI* dialog) override;
    HRESULT DoVerbEnd(ICredUI* dialog) override;

private:
    void ToggleMenuItemsState();
    // The held token with one reference for the caller, or NULL.
    CToken_LocalServer* Token();

    // Guards every field below; a replaced certificate or message is kept
    // until the row dies, since readers hold the bare pointers.
    CriticalSection m_cs;
    CToken_LocalServer* m_token = nullptr;
    const Certificate* m_cert = nullptr;
    unsigned short m_port = 0;
    const wchar_t* m_message = nullptr;
    std::vector<Certificate*> m_certs;  // one reference each
    std::vector<std::unique_ptr<std::wstring>> m_messages;
    CGUIVerb* m_update = nullptr;
    CGUIVerb* m_showCert = nullptr;
    std::atomic<bool> m_warning {false};
    // The token whose gate the running verb entered, per verb thread.
    static thread_local CToken_LocalServer* t_gate;
};

class CModelLocalServers : public CGUIModelContainer<IGUIModelContainer, CModelLocalServer>,
                           public CSingletonFactoryImpl<CModelLocalServers>,
                           public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelLocalServers)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelContainer)
    ZELK_INTMAP_ENTRY(IGUIModelContainer)
    ZELK_END_INTMAP()

    // Shows the row (creating the container when needed); the creation's
    // failure code, else 0.
    static HRESULT EnableLocalServer();
    // Hides the row; the item keeps its state.
    static HRESULT DisableLocalServer();
    static HRESULT StartLocalServer(const Certificate* cert, unsigned short port);
    static HRESULT StopLocalServer();
    // 0x80004005 when the row cannot be shown.
    static HRESULT SetToken(CToken_LocalServer* token);
    // 0x80004005 when the row is not shown; the container is not created here.
    static HRESULT SetMessage(const wchar_t* text, bool warning);

private:
    // The row with one reference, or NULL; the container is created only
    // when `create`.
    static CModelLocalServer* Element(bool create);
};

}  // namespace ZELK::PSESVC

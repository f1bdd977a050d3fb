#include "model_localserver.h"

#include "../tokens/token_kv_persistent.h"
#include "model_certs.h"
#include "model_text.h"
#include "zelk_class.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.localservers", &CSingletonFactoryImpl<CModelLocalServers>::New);

}  // namespace

thread_local CToken_LocalServer* CModelLocalServer::t_gate = nullptr;

CModelLocalServer::CModelLocalServer()
{
    CGUIVerbImpl<CModelLocalServer>::New(this, &CModelLocalServer::ShowCert, "verb.show.cert", &m_showCert);
    CGUIVerbImpl<CModelLocalServer>::New(this, &CModelLocalServer::Update, "verb.update", &m_update);
    if (m_showCert != nullptr)
        m_showCert->SetState(IGUIVerb_State_Default);
    IGUIVerb* verbs[] = {m_showCert, m_update};
    AddVerbs(2, verbs);
    ToggleMenuItemsState();
}

CModelLocalServer::~CModelLocalServer()
{
    for (CGUIVerb* verb : {m_showCert, m_update}) {
        if (verb != nullptr) {
            verb->Detach();
            verb->Release();
        }
    }
    if (m_token != nullptr)
        static_cast<CToken*>(m_token)->Release();
    for (Certificate* cert : m_certs)
        cert->Release();
}

const Certificate* CModelLocalServer::GetCert()
{
    CriticalCodeSection lock(&m_cs);
    return m_cert;
}

unsigned short CModelLocalServer::GetPort()
{
    CriticalCodeSection lock(&m_cs);
    return m_port;
}

const wchar_t* CModelLocalServer::GetMessage()
{
    CriticalCodeSection lock(&m_cs);
    return m_message;
}

CToken_LocalServer* CModelLocalServer::Token()
{
    CriticalCodeSection lock(&m_cs);
    if (m_token != nullptr)
        static_cast<CToken*>(m_token)->AddRef();
    return m_token;
}

HRESULT CModelLocalServer::Start(const Certificate* cert, unsigned short port)
{
    {
        CriticalCodeSection lock(&m_cs);
        if (cert != nullptr) {
            auto* held = const_cast<Certificate*>(cert);
            held->AddRef();
            m_certs.push_back(held);
        }
        m_cert = cert;
        m_port = port;
    }
    NextRevision();
    ToggleMenuItemsState();
    return S_OK;
}

HRESULT CModelLocalServer::Stop()
{
    {
        CriticalCodeSection lock(&m_cs);
        m_cert = nullptr;
        m_port = 0;
    }
    NextRevision();
    ToggleMenuItemsState();
    return S_OK;
}

HRESULT CModelLocalServer::SetToken(CToken_LocalServer* token)
{
    CToken_LocalServer* old = nullptr;
    {
        CriticalCodeSection lock(&m_cs);
        if (token != nullptr)
            static_cast<CToken*>(token)->AddRef();
        old = m_token;
        m_token = token;
    }
    if (old != nullptr)
        static_cast<CToken*>(old)->Release();
    ToggleMenuItemsState();
    NextRevision();
    return S_OK;
}

HRESULT CModelLocalServer::SetMessage(const wchar_t* text, bool warning)
{
    {
        CriticalCodeSection lock(&m_cs);
        if (text == nullptr) {
            m_message = nullptr;
        } else {
            m_messages.push_back(std::make_unique<std::wstring>(text));
            m_message = m_messages.back()->c_str();
        }
        m_warning = warning;
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelLocalServer::DoVerbBegin(ICredUI* dialog)
{
    CToken_LocalServer* token = Token();
    if (token == nullptr)
        return S_OK;
    HRESULT hr = static_cast<CToken*>(token)->DoVerbBegin(dialog);
    if (FAILED(hr)) {
        static_cast<CToken*>(token)->Release();
        return hr;
    }
    t_gate = token;
    return S_OK;
}

HRESULT CModelLocalServer::DoVerbEnd(ICredUI* dialog)
{
    CToken_LocalServer* token = t_gate;
    t_gate = nullptr;
    if (token == nullptr)
        return S_OK;
    HRESULT hr = static_cast<CToken*>(token)->DoVerbEnd(dialog);
    static_cast<CToken*>(token)->Release();
    return hr;
}

int CModelLocalServer::Update(ICredUI* dialog)
{
    CToken_LocalServer* token = Token();
    if (token != nullptr) {
        token->Update(dialog);
        static_cast<CToken*>(token)->Release();
        ToggleMenuItemsState();
    }
    NextRevision();
    return 0;
}

int CModelLocalServer::ShowCert(ICredUI* dialog)
{
    AuxRefPtr<Certificate> cert;
    {
        CriticalCodeSection lock(&m_cs);
        cert = const_cast<Certificate*>(m_cert);
    }
    // Nothing to show while stopped: no dialog call at all.
    if (!cert || dialog == nullptr)
        return 0;
    CModelCert* model = nullptr;
    if (SUCCEEDED(CModelCert::New(cert, &model)) && model != nullptr) {
        dialog->GuiShowCert(static_cast<IGUIModelCert*>(model));
        static_cast<IGUIModelCert*>(model)->Release();
    }
    return 0;
}

void CModelLocalServer::ToggleMenuItemsState()
{
    CToken_LocalServer* token = Token();
    const bool haveCerts = token != nullptr && static_cast<CToken*>(token)->HaveCerts();
    if (token != nullptr)
        static_cast<CToken*>(token)->Release();
    if (m_showCert != nullptr)
        m_showCert->SetState(haveCerts ? IGUIVerb_State_Default : IGUIVerb_State_Hidden);
    if (m_update != nullptr)
        m_update->SetState(haveCerts ? 0u : static_cast<uint32_t>(IGUIVerb_State_Default));
}

HRESULT CModelLocalServer::RefreshItemInfo()
{
    SetSortKeyOnce("900/Hearthgate");
    StringT<char> text = CModel::GetText("LOCALSERVER_TITLE", "");
    bool running = false;
    {
        CriticalCodeSection lock(&m_cs);
        if (m_message != nullptr) {
            text += "\n";
            text += StringT<char>(m_message, 0);
        }
        running = m_cert != nullptr;
        if (running && m_port != 0) {
            char line[32];
            snprintf(line, sizeof(line), "\nPort: %d", static_cast<int>(m_port));
            text += line;
        }
    }
    SetItemInfo(running && !IsWarning() ? ICON_LOCALSERVER_ACTIVE : ICON_LOCALSERVER, text);
    return S_OK;
}

CModelLocalServer* CModelLocalServers::Element(bool create)
{
    CModelLocalServers* container = nullptr;
    if (create) {
        if (FAILED(CSingletonFactoryImpl<CModelLocalServers>::New(&container)))
            return nullptr;
    } else {
        CriticalCodeSection lock(&s_cs);
        container = s_pThis;
        if (container == nullptr)
            return nullptr;
        container->AddRef();
    }
    CModelLocalServer* element = nullptr;
    {
        CriticalCodeSection lock(container->GetCriticalSection());
        if (container->m_elements.Count() > 0) {
            element = container->m_elements[0];
            static_cast<IGUIModelLocalServer*>(element)->AddRef();
        }
    }
    container->Release();
    return element;
}

HRESULT CModelLocalServers::EnableLocalServer()
{
    CModelLocalServers* container = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelLocalServers>::New(&container);
    if (FAILED(hr))
        return hr;
    bool added = false;
    {
        // Checked and appended in one hold: two callers list the row once.
        CriticalCodeSection lock(container->GetCriticalSection());
        if (container->m_elements.Count() == 0) {
            CModelLocalServer* element = nullptr;
            if (SUCCEEDED(CSingletonFactoryImpl<CModelLocalServer>::New(&element)) && element != nullptr) {
                added = SUCCEEDED(container->m_elements.Add(element));
                static_cast<IGUIModelLocalServer*>(element)->Release();
            }
        }
    }
    if (added)
        container->NextRevision();
    container->Release();
    return S_OK;
}

HRESULT CModelLocalServers::DisableLocalServer()
{
    CModelLocalServers* container = nullptr;
    {
        CriticalCodeSection lock(&s_cs);
        container = s_pThis;
        if (container == nullptr)
            return S_OK;
        container->AddRef();
    }
    container->DeleteAndNotify([](CModelLocalServer*) { return true; }, false);
    container->Release();
    return S_OK;
}

HRESULT CModelLocalServers::StartLocalServer(const Certificate* cert, unsigned short port)
{
    HRESULT hr = EnableLocalServer();
    if (FAILED(hr))
        return hr;
    CModelLocalServer* element = Element(false);
    if (element == nullptr)
        return S_OK;
    element->Start(cert, port);
    static_cast<IGUIModelLocalServer*>(element)->Release();
    return S_OK;
}

HRESULT CModelLocalServers::StopLocalServer()
{
    CModelLocalServer* element = Element(false);
    if (element == nullptr)
        return S_OK;
    element->Stop();
    static_cast<IGUIModelLocalServer*>(element)->Release();
    return S_OK;
}

HRESULT CModelLocalServers::SetToken(CToken_LocalServer* token)
{
    HRESULT hr = EnableLocalServer();
    if (FAILED(hr))
        return hr;
    CModelLocalServer* element = Element(false);
    if (element == nullptr)
        return E_FAIL;
    element->SetToken(token);
    static_cast<IGUIModelLocalServer*>(element)->Release();
    return S_OK;
}

HRESULT CModelLocalServers::SetMessage(const wchar_t* text, bool warning)
{
    CModelLocalServer* element = Element(false);
    if (element == nullptr)
        return E_FAIL;
    element->SetMessage(text, warning);
    static_cast<IGUIModelLocalServer*>(element)->Release();
    return S_OK;
}

}  // namespace ZELK::PSESVC

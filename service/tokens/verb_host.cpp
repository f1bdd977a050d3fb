#include "verb_host.h"

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_ptr.h"
#include "zelk_strings.h"

namespace ZELK::PSESVC {

CVerbHost::~CVerbHost()
{
    for (uint64_t i = 0; i < m_count; ++i)
        static_cast<CGUIVerb*>(m_verbs[i])->Detach();
    for (uint64_t i = 0; i < m_count; ++i)
        m_verbs[i]->Release();
    sec_free(m_verbs);
    m_verbs = nullptr;
    m_count = 0;
}

HRESULT CVerbHost::InitVerbs()
{
    return S_OK;
}

HRESULT CVerbHost::InitVerbs(CGUIModelVerbs* list)
{
    InitVerbs();
    if (list == nullptr)
        return E_FAIL;
    return list->AddVerbs(static_cast<unsigned long>(m_count), m_verbs);
}

HRESULT CVerbHost::GetVerbByName(const char* name, IGUIVerb** out)
{
    if (name == nullptr || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    for (uint64_t i = 0; i < m_count; ++i) {
        const char* verbName = m_verbs[i]->GetVerbName();
        if (verbName != nullptr && String_CompareNoCase(name, verbName) == 0) {
            m_verbs[i]->AddRef();
            *out = m_verbs[i];
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT CVerbHost::DoVerb(IGUIVerb* verb)
{
    IGUI* gui = nullptr;
    if (FAILED(ZELK_CreateObject("zelkgui", "zelk.gui", IID_IGUI, reinterpret_cast<void**>(&gui))) || gui == nullptr)
        return E_FAIL;
    HRESULT hr = gui->DoVerb(verb);
    gui->Release();
    return hr;
}

HRESULT CVerbHost::DoVerbBegin(ICredUI* dialog)
{
    bool first = true;
    CriticalCodeSection lock(&m_csBusy);
    while (m_busy) {
        lock.Leave();
        if (first && dialog != nullptr && dialog->GuiIsInteractive())
            dialog->GuiLongOperation(L"Waiting for background task to be completed...", true);
        first = false;
        if (dialog != nullptr && dialog->GuiIsAborted())
            return E_ABORT;
        Sleep(100);
        lock.Enter();
    }
    m_busy = true;
    return S_OK;
}

HRESULT CVerbHost::DoVerbEnd(ICredUI*)
{
    CriticalCodeSection lock(&m_csBusy);
    m_busy = false;
    return S_OK;
}

}  // namespace ZELK::PSESVC

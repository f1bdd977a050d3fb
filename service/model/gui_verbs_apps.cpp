#include "gui_verbs_apps.h"

#include "../core/applications.h"

namespace ZELK::PSESVC {
namespace {

// The application parameter of the verb: the root path of the configuration.
const char kRootApp[] = "/";

// IsUsedForApp of the application policies: 0 when the credential is the
// configured one.
bool IsUsedForApp(const char* app, const PersonalCertificateInfo* pci, const char* uri)
{
    CApplications* applications = nullptr;
    if (FAILED(CSingletonFactoryImpl<CApplications>::New(&applications)))
        return false;
    bool used = applications->IsUsedForApp(app, pci, uri) == S_OK;
    applications->Release();
    return used;
}

}  // namespace

CGUIModelVerbsWithApps::CGUIModelVerbsWithApps()
{
    if (SUCCEEDED(CGUIVerbImplEx<CGUIModelVerbsWithApps>::New(this, &CGUIModelVerbsWithApps::UseForApp,
                                                              reinterpret_cast<unsigned long>(kRootApp),
                                                              "verb.usefor.qev", &m_useFor))) {
        IGUIVerb* verb = m_useFor;
        AddVerbs(1, &verb);
    }
}

CGUIModelVerbsWithApps::~CGUIModelVerbsWithApps()
{
    if (m_useFor != nullptr) {
        m_useFor->Detach();
        m_useFor->Release();
    }
}

uint64_t CGUIModelVerbsWithApps::GetVerbCount()
{
    IGUIVerb* verb = nullptr;
    if (SUCCEEDED(GetVerb(0, &verb)) && verb != nullptr) {
        uint32_t state = verb->GetState() & ~(IGUIVerb_State_Disabled | IGUIVerb_State_Checked);
        if (IsUsedForApp(kRootApp, GetPCI(), GetTokenURI()))
            state |= IGUIVerb_State_Checked;
        verb->SetState(state);
        verb->Release();
    }
    return CGUIModelVerbs::GetVerbCount();
}

int CGUIModelVerbsWithApps::UseForApp(ICredUI*, unsigned long app)
{
    const char* application = reinterpret_cast<const char*>(app);
    CApplications* applications = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CApplications>::New(&applications);
    if (FAILED(hr))
        return hr;
    const PersonalCertificateInfo* pci = GetPCI();
    const char* uri = GetTokenURI();
    if (applications->IsUsedForApp(application, pci, uri) == S_OK)
        hr = applications->UseForApp(application, nullptr, nullptr);
    else
        hr = applications->UseForApp(application, pci, uri);
    applications->Release();
    return hr;
}

const char* CGUIModelSelectedApps::GetSelectedApp(unsigned long index)
{
    if (index != 0)
        return nullptr;
    return IsUsedForApp(kRootApp, GetPCI(), GetTokenURI()) ? kRootApp : nullptr;
}

}  // namespace ZELK::PSESVC

// The application policies as far as the models need them yet: no credential
// is configured for any application, a choice cannot be written, and no
// policy serves a target.
#include "applications.h"

namespace ZELK::PSESVC {

CApplications::CApplications() = default;

CApplications::~CApplications() = default;

HRESULT CApplications::UseForApp(const char*, const PersonalCertificateInfo*, const char*)
{
    return E_NOTIMPL;
}

HRESULT CApplications::IsUsedForApp(const char*, const PersonalCertificateInfo*, const char*)
{
    return S_FALSE;
}

HRESULT CApplications::GetPolicyByGssTargetName(const char*, ZELK_IPolicy** policy, ZELK_IPolicy** chain, bool* reauth)
{
    for (ZELK_IPolicy** out : {policy, chain})
        if (out != nullptr)
            *out = nullptr;
    if (reauth != nullptr)
        *reauth = false;
    return S_OK;
}

}  // namespace ZELK::PSESVC

#include "kerberos_api.h"

#include "zelk_module.h"

namespace ZELK::PSESVC {

bool CKerberosAPI::IsAPIAvailable()
{
    if (!s_bChecked) {
        IUnknown* api = nullptr;
        if (SUCCEEDED(New(IID_IUnknown, reinterpret_cast<void**>(&api))) && api)
            api->Release();
    }
    return s_bIsAPIAvailable;
}

HRESULT CKerberosAPI::New(const GUID& iid, void** out)
{
    if (out)
        *out = nullptr;
    {
        CriticalCodeSection lock(&s_cs);
        if (!s_bChecked) {
            if (FAILED(ZELK_GetAPI(nullptr, SEC_KERBEROS_API, &fptr__kerberos)))
                fptr__kerberos = nullptr;
            s_bChecked = true;
            s_bIsAPIAvailable = fptr__kerberos != nullptr;
        }
    }
    if (!s_bIsAPIAvailable)
        return E_NOTIMPL;
    return CSingletonFactoryImpl<CKerberosAPI>::New(iid, out);
}

HRESULT CKerberosAPI::Finalize()
{
    {
        CriticalCodeSection lock(&s_cs);
        if (fptr__kerberos)
            ZELK_ReleaseAPI(&fptr__kerberos);
        fptr__kerberos = nullptr;
        // A later start of the runtime looks again.
        s_bChecked = false;
        s_bIsAPIAvailable = false;
    }
    return CSingletonFactoryImpl<CKerberosAPI>::Finalize();
}

const SEC_KERBEROS_TABLE* CKerberosAPI::Table()
{
    if (!IsAPIAvailable())
        return nullptr;
    return ZELK_ApiCast<SEC_KERBEROS_TABLE>(fptr__kerberos);
}

}  // namespace ZELK::PSESVC

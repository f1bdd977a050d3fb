#include "token_kerberos.h"

#include <cstring>

#include "../model/model_kerberos.h"
#include "kerberos_api.h"
#include "qev_kerberos.h"
#include "token.h"
#include "zelk_class.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.kerberos", static_cast<HRESULT (*)(const GUID&, void**)>(&CToken_Kerberos::New));

constexpr const char kApplPrefix[] = "Kerberos-";

// The Kerberos row with one reference, NULL without one.
CModelKerberos* KerberosRow()
{
    CModelKerberos* row = nullptr;
    if (FAILED(CModelKerberos::New<CModelKerberos>(&row)))
        return nullptr;
    return row;
}

void ReleaseRow(CModelKerberos* row)
{
    if (row != nullptr)
        static_cast<IGUIModelKerberos*>(row)->Release();
}

}  // namespace

CToken_Kerberos::CToken_Kerberos()
{
    CModelKerberos* row = KerberosRow();
    CVerbHost::InitVerbs(row);
    ReleaseRow(row);
    Refresh();
}

CToken_Kerberos::~CToken_Kerberos() = default;

HRESULT CToken_Kerberos::InitVerbs()
{
    static const VerbTableRow<CToken_Kerberos> s_aVerbs[] = {
        {"verb.reauth", 0x10, &CToken_Kerberos::Reauth},
        {nullptr, 0, nullptr},
    };
    return CreateVerbs(this, s_aVerbs);
}

HRESULT CToken_Kerberos::Reauth(ICredUI* dialog)
{
    return CKerberos::Reauth(dialog);
}

HRESULT CToken_Kerberos::Refresh()
{
    CKerberos::Refresh();
    CModelKerberos* row = KerberosRow();
    if (row == nullptr)
        return E_FAIL;
    StringT<wchar_t> displayName;
    StringT<wchar_t> userName;
    CopyNames(displayName, userName);
    StringT<wchar_t> subject;
    if (!userName.IsEmpty()) {
        subject = L"CN=";
        subject += userName;
    }
    row->Update(displayName, userName, subject);
    ReleaseRow(row);
    return S_OK;
}

HRESULT CToken_Kerberos::CreateTicket(const char* target, OctetString** ticket, OctetString** sessionKey,
                                      KerberosAlgorithmIdentifier* algorithm)
{
    HRESULT hr = CKerberos::CreateTicket(target, ticket, sessionKey, algorithm);
    if (hr != SEC_E_KERBEROS_NO_CREDENTIALS || !m_interactiveFallback)
        return hr;
    SECTRACE_FormatLn(nullptr, 1,
                      "failed to get kerberos ticket for '%s'!\nSSO_MODE=5 forces an interactive login now...",
                      target != nullptr ? target : "");
    if (FAILED(CToken::DoVerbByName(this, "verb.reauth")))
        return hr;
    return CKerberos::CreateTicket(target, ticket, sessionKey, algorithm);
}

HRESULT CToken_Kerberos::New(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsAvailable())
        return E_NOTIMPL;
    return CSingletonFactoryImpl<CToken_Kerberos>::New(iid, out);
}

HRESULT CToken_Kerberos::New(CToken_Kerberos** out)
{
    return New(IID_CToken_Kerberos, reinterpret_cast<void**>(out));
}

bool CToken_Kerberos::IsAvailable()
{
    return CKerberosAPI::IsAPIAvailable();
}

HRESULT CToken_Kerberos::readApplObject(const char* name, OctetString** blob)
{
    constexpr size_t prefix = sizeof(kApplPrefix) - 1;
    if (name == nullptr || std::strncmp(name, kApplPrefix, prefix) != 0)
        return E_INVALIDARG;
    CToken_Kerberos* token = nullptr;
    if (FAILED(New(&token)) || token == nullptr)
        return E_NOTIMPL;
    HRESULT hr = token->CreateTicket(name + prefix, blob);
    token->Release();
    return hr;
}

HRESULT CToken_Kerberos::FinishedPrivateKeyOperation()
{
    CToken_Kerberos* token = nullptr;
    if (FAILED(New(&token)) || token == nullptr)
        return E_NOTIMPL;
    if (token->m_ssoMode == 2 || token->m_ssoMode == 4)
        token->CKerberos::Logout(nullptr);
    token->Release();
    return S_OK;
}

}  // namespace ZELK::PSESVC

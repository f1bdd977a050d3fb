#include "kerberos.h"

#include <krb5.h>

#include "kerberos_api.h"
#include "kerberos_util.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"
#include "zelk_ptr.h"

namespace ZELK::PSESVC {
namespace {

constexpr unsigned kUtf8 = 65001;

// Frees what the krb5 steps obtained, as far as they got.
struct Krb5Names {
    krb5_context context = nullptr;
    krb5_ccache cache = nullptr;
    krb5_principal principal = nullptr;

    ~Krb5Names()
    {
        if (principal)
            krb5_free_principal(context, principal);
        if (cache)
            krb5_cc_close(context, cache);
        if (context)
            krb5_free_context(context);
    }
};

}  // namespace

CKerberos::CKerberos()
{
    ZELK_IPolicy* policy = nullptr;
    if (SUCCEEDED(ZELK_PolOpen(POL::COMMON::KERBEROS::REG_PATH, &policy)) && policy) {
        m_ssoMode = policy->GetDWORD(POL::COMMON::KERBEROS::SSO_MODE);
        policy->Release();
    }
    if (m_ssoMode > 5) {
        m_ssoMode = 2;
    } else if (m_ssoMode == 5) {
        m_ssoMode = 0;
        m_interactiveFallback = true;
    }
}

HRESULT CKerberos::Refresh()
{
    {
        std::lock_guard<std::mutex> lock(m_namesLock);
        m_displayName.Free();
        m_userName.Free();
    }
    StringT<wchar_t> displayName;
    StringT<wchar_t> userName;
    GetDisplayName(&displayName);
    GetUserName(&userName);
    std::lock_guard<std::mutex> lock(m_namesLock);
    m_displayName.Attach(displayName.Detach());
    m_userName.Attach(userName.Detach());
    return S_OK;
}

HRESULT CKerberos::Login(ICredUI* dialog)
{
    return Login(dialog, nullptr, nullptr);
}

HRESULT CKerberos::Login(ICredUI*, const wchar_t*, const wchar_t*)
{
    return E_NOTIMPL;
}

HRESULT CKerberos::Logout(ICredUI*)
{
    return Refresh();
}

HRESULT CKerberos::Reauth(ICredUI* dialog)
{
    StringT<wchar_t> displayName;
    StringT<wchar_t> userName;
    CopyNames(displayName, userName);
    Logout(dialog);
    return Login(dialog, nullptr, userName);
}

HRESULT CKerberos::CreateTicket(const char* target, OctetString** ticket, OctetString** sessionKey,
                                KerberosAlgorithmIdentifier* algorithm)
{
    const SEC_KERBEROS_TABLE* table = CKerberosAPI::Table();
    if (table == nullptr)
        return E_NOTIMPL;
    OctetString* t = nullptr;
    OctetString* k = nullptr;
    KerberosAlgorithmIdentifier a = 0;
    Impersonate_Begin();
    HRESULT hr = table->clientGetTicket(target, &t, &k, &a);
    Impersonate_End(true);
    const SEC_TYPE_TABLE* octets = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    auto release = [octets](OctetString* s) {
        if (s && octets)
            octets->free(s);
    };
    if (t == nullptr) {
        release(k);
        return hr == SEC_E_KERBEROS_NO_CREDENTIALS ? SEC_E_KERBEROS_NO_CREDENTIALS : E_FAIL;
    }
    if (ticket)
        *ticket = t;
    else
        release(t);
    if (sessionKey)
        *sessionKey = k;
    else
        release(k);
    if (algorithm)
        *algorithm = a;
    return S_OK;
}

HRESULT CKerberos::CreateTicket(const char* target, OctetString** blob)
{
    OctetString* ticket = nullptr;
    OctetString* key = nullptr;
    KerberosAlgorithmIdentifier algorithm = 0;
    HRESULT hr = CreateTicket(target, &ticket, &key, &algorithm);
    if (SUCCEEDED(hr))
        KerbUtil_convertTicket2OctetString(target, ticket, key, static_cast<int>(algorithm), blob);
    const SEC_TYPE_TABLE* octets = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    if (octets) {
        if (ticket)
            octets->free(ticket);
        if (key)
            octets->free(key);
    }
    return hr;
}

HRESULT CKerberos::CreateSPNEGOToken(ICredUI*, const char* target, OctetString** token)
{
    const SEC_KERBEROS_TABLE* table = CKerberosAPI::Table();
    if (table == nullptr)
        return E_NOTIMPL;
    return table->spnego_CreateToken(target, token);
}

HRESULT CKerberos::Impersonate_Begin()
{
    return S_OK;
}

HRESULT CKerberos::Impersonate_End(bool)
{
    return S_OK;
}

bool CKerberos::IsDomainUser()
{
    return true;
}

void CKerberos::CopyNames(StringT<wchar_t>& displayName, StringT<wchar_t>& userName)
{
    std::lock_guard<std::mutex> lock(m_namesLock);
    displayName.Assign(m_displayName);
    userName.Assign(m_userName);
}

HRESULT CKerberos::GetNames(char** displayName, char** userName)
{
    StringT<wchar_t> display;
    StringT<wchar_t> user;
    CopyNames(display, user);
    if (displayName) {
        StringT<char> text(static_cast<const wchar_t*>(display), kUtf8);
        *displayName = text.Detach();
    }
    if (userName) {
        StringT<char> text(static_cast<const wchar_t*>(user), kUtf8);
        *userName = text.Detach();
    }
    return S_OK;
}

HRESULT CKerberos::GetNames(wchar_t** displayName, wchar_t** userName)
{
    StringT<wchar_t> display;
    StringT<wchar_t> user;
    CopyNames(display, user);
    if (display.IsEmpty() && user.IsEmpty()) {
        Refresh();
        CopyNames(display, user);
    }
    if (displayName)
        *displayName = display.Detach();
    if (userName)
        *userName = user.Detach();
    return S_OK;
}

HRESULT CKerberos::GetUserName(wchar_t** out)
{
    if (out == nullptr)
        return S_OK;
    Krb5Names k;
    if (krb5_init_context(&k.context) != 0) {
        k.context = nullptr;
        return S_OK;
    }
    if (krb5_cc_default(k.context, &k.cache) != 0 || krb5_cc_get_principal(k.context, k.cache, &k.principal) != 0)
        return S_OK;
    if (krb5_princ_size(k.context, k.principal) < 1)
        return S_OK;
    const krb5_data* first = krb5_princ_component(k.context, k.principal, 0);
    const krb5_data* realm = krb5_princ_realm(k.context, k.principal);
    StringT<char> first8;
    StringT<char> realm8;
    first8.AssignFromBuffer(first->data, first->length);
    realm8.AssignFromBuffer(realm->data, realm->length);
    StringT<char> name;
    name.Format("%s@%s", static_cast<const char*>(first8), static_cast<const char*>(realm8));
    StringT<wchar_t> wide(static_cast<const char*>(name), kUtf8);
    wide.MakeUpper();
    if (wide.IsEmpty())
        return S_OK;
    *out = wide.Detach();
    return S_OK;
}

HRESULT CKerberos::GetDisplayName(wchar_t**)
{
    return S_OK;
}

}  // namespace ZELK::PSESVC

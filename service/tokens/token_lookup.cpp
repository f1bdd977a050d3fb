// The token manager's operations by token name while it holds no tokens.
#include "qev_results.h"
#include "token_manager.h"

namespace ZELK::PSESVC {

HRESULT CTokenMgr::GetTokenByName(const char*, SecToken** out)
{
    if (out)
        *out = nullptr;
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetTokenByName(const char*, CToken** out)
{
    if (out)
        *out = nullptr;
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetPCI(SET_OF_PersonalCertificateInfo**, SECAttribute*)
{
    return S_OK;
}

HRESULT CTokenMgr::GetTrustedCertList(SET_OF_Certificate**)
{
    return S_OK;
}

HRESULT CTokenMgr::GetTokenURIsByPolicy(const char*, ZELK_IPolicy*, SET_OF_String** uris)
{
    if (uris)
        *uris = nullptr;
    return S_OK;
}

bool CTokenMgr::IsValidPolicy(ZELK_IPolicy*, char** description)
{
    if (description)
        *description = nullptr;
    return false;
}

HRESULT CTokenMgr::Sign(const char*, const char*, const AlgId*, bool, const unsigned char*, unsigned long,
                        unsigned char*, unsigned long*, SECAttribute*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::Decrypt(const char*, const char*, const AlgId*, const unsigned char*, unsigned long, unsigned char*,
                           unsigned long*, SECAttribute*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::Login(const char*, const char*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::Logout(const char*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetIsEnrolled(const char*)
{
    return E_TOKEN_NOTFOUND;
}

}  // namespace ZELK::PSESVC

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

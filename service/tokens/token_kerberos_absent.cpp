// The Kerberos token while the service is built without Kerberos support:
// no token is ever made, so the operations below are never reached; they
// exist so that the class is complete wherever it is named.
#include "token_kerberos.h"

namespace ZELK::PSESVC {

HRESULT CToken_Kerberos::New(CToken_Kerberos** out)
{
    if (out != nullptr)
        *out = nullptr;
    return E_NOTIMPL;
}

bool CToken_Kerberos::IsDomainUser()
{
    return false;
}

HRESULT CToken_Kerberos::CreateTicket(const char*, OctetString** ticket, OctetString** sessionKey, unsigned*)
{
    if (ticket != nullptr)
        *ticket = nullptr;
    if (sessionKey != nullptr)
        *sessionKey = nullptr;
    return E_NOTIMPL;
}

HRESULT CToken_Kerberos::Impersonate_End(bool)
{
    return E_NOTIMPL;
}

}  // namespace ZELK::PSESVC

// The Kerberos token while the service is built without Kerberos support.
#include "token_kerberos.h"

namespace ZELK::PSESVC {

HRESULT CToken_Kerberos::New(CToken_Kerberos** out)
{
    if (out != nullptr)
        *out = nullptr;
    return E_NOTIMPL;
}

}  // namespace ZELK::PSESVC

// The service keeps no clients model of its own yet: every notice answers as
// the model's absence requires.
#include "model_clients.h"

namespace ZELK::PSESVC {

HRESULT CModelClients::ClientConnect(const char*, unsigned int)
{
    return E_FAIL;
}

HRESULT CModelClients::ClientDisconnect(const char*, unsigned int)
{
    return E_FAIL;
}

HRESULT CModelClients::ClientActive(const char*, unsigned int)
{
    return E_FAIL;
}

HRESULT CModelClients::GetActiveClient(CModelClient**)
{
    return E_FAIL;
}

}  // namespace ZELK::PSESVC

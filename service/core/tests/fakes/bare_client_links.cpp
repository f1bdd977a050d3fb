// The client records of the service's tests without token rows and
// temporary keys: connections hold no token model nor certificates, no automatic logout
// starts, and a key a test gave a connection is only released.
#include "model/model_clients.h"

namespace ZELK::PSESVC {

HRESULT ConnectionTokenModel(const char*, IGUIModel** out)
{
    *out = nullptr;
    return S_FALSE;
}

HRESULT ConnectionTokenPCI(const char*, SET_OF_PersonalCertificateInfo**)
{
    return S_OK;
}

void StartTokenAutoLogout(const char*) {}

void TempKeysClientStop(CModelClient*) {}

void TempKeyConnectionGone(IUnknown* key)
{
    key->Release();
}

}  // namespace ZELK::PSESVC

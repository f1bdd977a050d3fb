// The client records of the service's tests without token rows: connections
// hold no token model and no automatic logout starts.
#include "model/model_clients.h"

namespace ZELK::PSESVC {

HRESULT ConnectionTokenModel(const char*, IGUIModel** out)
{
    *out = nullptr;
    return S_FALSE;
}

void StartTokenAutoLogout(const char*) {}

}  // namespace ZELK::PSESVC

// The service's emergency stop, which the token manager answers without
// needing its singleton.
#include "token_manager.h"

namespace ZELK::PSESVC {

HRESULT CTokenMgr::EmergencyShutdown()
{
    return S_OK;
}

}  // namespace ZELK::PSESVC

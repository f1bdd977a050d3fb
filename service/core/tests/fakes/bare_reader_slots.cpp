// The service PSE's reader look-ups for programs that hold the reader and
// token managers without the service PSE: no reader has a slot.
#include "zelkpse.h"

namespace ZELK::PSESVC {

HRESULT ZELKPSE::getSlotByReader(SecSlot** out, const char*, bool)
{
    if (out != nullptr)
        *out = nullptr;
    return E_FAIL;
}

HRESULT ZELKPSE::GetConnectionInfo(char** out)
{
    return String_Copy("None", out);
}

}  // namespace ZELK::PSESVC

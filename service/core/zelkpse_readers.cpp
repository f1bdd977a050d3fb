// The service PSE's class functions for the reader manager: the slot of a
// reader and the connection information of a reader.
#include <cstring>

#include "zelk_ptr.h"
#include "zelk_strings.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {

HRESULT ZELKPSE::getSlotByReader(SecSlot** out, const char* reader, bool)
{
    StringT<char> name;
    if (reader != nullptr && std::strchr(reader, ':') == nullptr) {
        name = "secpcsc:";
        name.Append(reader);
    } else {
        name = reader;
    }
    CComPtr<CComIID<PSE, &IID_PSE>> proxy;
    GetProxy(&proxy);
    return getSlot(out, name);
}

HRESULT ZELKPSE::GetConnectionInfo(char** out)
{
    if (out == nullptr)
        return E_POINTER;
    return String_Copy("None", out);
}

}  // namespace ZELK::PSESVC

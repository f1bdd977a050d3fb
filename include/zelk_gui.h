// The desktop application's host object ("zelk.nogui" and "zelk.gui" of
// module "zelkgui"), as the service and the socket transport reach it.
#pragma once

#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IGUI, 0x6E2C1A94, 0x53B0, 0x4C8D, 0xA7, 0x1F, 0x92, 0x3E, 0x58, 0xC4, 0x0B, 0xD6);

namespace ZELK::PSESVC {

class IPSESVC;
class IGUIVerb;

class IGUI : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUI; }

    // A new string (crypto library's allocator) with the decimal real user id.
    virtual HRESULT GetSessionId(char** id) = 0;
    virtual HRESULT Run(IPSESVC* service) = 0;
    virtual HRESULT DoVerb(IGUIVerb* verb) = 0;
};

}  // namespace ZELK::PSESVC

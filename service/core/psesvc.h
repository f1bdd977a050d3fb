// The service object ("zelk" of module "zelk"): starts the service's
// singletons, the socket server and the PSE factory in their order, hands the
// thread to the application's event loop and stops everything in order when
// that loop returns.
#pragma once

#include "zelk_object.h"
#include "zelk_psesvc.h"

namespace ZELK::PSESVC {

class PSESVC : public IPSESVC, public CSingletonFactoryImpl<PSESVC>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(PSESVC)
    ZELK_INTMAP_ENTRY_CLASS(IID_PSESVC)
    ZELK_INTMAP_ENTRY(IPSESVC)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_PSESVC; }

    // 0x80070005 when the socket server or the PSE factory cannot be created,
    // the server's Connect result otherwise; the reader or token manager's
    // failure ends it at once.
    HRESULT Run(const char** argv, int argc) override;
    HRESULT CreateObject(const char* module, const char* className, const GUID& iid, void** out) override;
    HRESULT DoOp(const char* first, const char* op, ICredUI* ui) override;
};

}  // namespace ZELK::PSESVC

// The service object that the application creates ("zelk" of module "zelk")
// and runs on its main thread.
#pragma once

#include <cstdint>

#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IPSESVC, 0x3C5B8E71, 0x2A94, 0x4F6D, 0x9B, 0x03, 0x7E, 0x15, 0xC8, 0x42, 0xA6, 0x5D);
ZELK_DEFINE_GUID(IID_PSESVC, 0x3C5B8E72, 0x2A94, 0x4F6D, 0x9B, 0x03, 0x7E, 0x15, 0xC8, 0x42, 0xA6, 0x5E);

// The attribute that hands the service's PSE to the PSE provider module: the
// value is the PSE itself, without a type table.
constexpr uint32_t ATTR_SERVICE_PSE = 0xFF000000u;

namespace ZELK::PSESVC {

class ICredUI;

class IPSESVC : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IPSESVC; }

    // Starts the service and blocks until the application's event loop ends.
    virtual HRESULT Run(const char** argv, int argc) = 0;
    virtual HRESULT CreateObject(const char* module, const char* className, const GUID& iid, void** out) = 0;
    // 0x80000001 for every operation.
    virtual HRESULT DoOp(const char* first, const char* op, ICredUI* ui) = 0;
};

}  // namespace ZELK::PSESVC

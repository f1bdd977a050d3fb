// The local web API's facade ("zelk.webclient.kvc.api.facade" of module
// "zelk") as the service PSE's control channel calls it.
#pragma once

#include "zelk_json.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CKVCAPIFacade, 0x9D4E2B61, 0x7A08, 0x4F3C, 0xB1, 0x95, 0x6C, 0x2A, 0xE7, 0x40, 0x18, 0xD3);

namespace ZELK::PSESVC {

constexpr const char* KVC_API_FACADE_CLASS = "zelk.webclient.kvc.api.facade";

class CKVCAPIFacade : public IUnknown {
public:
    static const GUID& GetIID() { return IID_CKVCAPIFacade; }

    // Serves one request of a web page, writing the answer into `response`.
    virtual HRESULT transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response) = 0;
};

}  // namespace ZELK::PSESVC

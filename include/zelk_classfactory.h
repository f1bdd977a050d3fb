// The class-factory interface: an object that makes further objects, handed
// between deliverables (the service's PSE factory, the web adapter's TLS
// connection factory).
#pragma once

#include "zelk_guid.h"
#include "zelk_unknown.h"

class IClassFactory : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IClassFactory; }

    // A new object answering `iid` in *out (one reference); `outer` is not used.
    virtual HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** out) = 0;
    virtual HRESULT LockServer(bool lock) = 0;
};

// The base of every component interface.
#pragma once

#include "zelk_guid.h"
#include "zelk_result.h"

class IUnknown {
public:
    // 0 and *out set (one reference added), or 0x80000004 and *out NULL.
    virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;
    // Both return the count that the change produced.
    virtual long AddRef() = 0;
    virtual long Release() = 0;

    static const GUID& GetIID() { return IID_IUnknown; }

protected:
    // Objects end through Release, never through delete on an interface. The
    // destructor is virtual only so that every interface and implementation
    // has one; it comes after the three slots above.
    virtual ~IUnknown() = default;
};

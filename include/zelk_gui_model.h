// The view-model interfaces that the application reads: a model's revision
// and the refresh callbacks that tell a viewer it changed.
#pragma once

#include <cstdint>

#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IGUIModel, 0x9AFAEE9C, 0x9CED, 0x46BD, 0x8F, 0xE8, 0x21, 0x00, 0x54, 0x01, 0x28, 0xD7);

namespace ZELK::PSESVC {

// A viewer's callback; not reference-counted: whoever registers it
// unregisters it before it goes.
class IGUIRefreshCB {
public:
    virtual HRESULT RefreshCB(unsigned long key) = 0;

protected:
    ~IGUIRefreshCB() = default;
};

class IGUIModel : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUIModel; }

    virtual int64_t GetRevision() = 0;
    // 1 when the pair is registered already.
    virtual HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key) = 0;
    // 1 when the pair is not registered.
    virtual HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key) = 0;
};

}  // namespace ZELK::PSESVC

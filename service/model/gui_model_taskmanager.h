// The scheduler as a model: its revision and callbacks, and Refresh, which
// wakes its worker.
#pragma once

#include "zelk_gui_model.h"

ZELK_DEFINE_GUID(IID_IGUIModelTaskmanager, 0x5D0E7A13, 0xC6B2, 0x4E48, 0x83, 0x9F, 0x27, 0xA1, 0x6C, 0xE0, 0x54, 0xB8);

namespace ZELK::PSESVC {

class IGUIModelTaskmanager : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelTaskmanager; }

    virtual HRESULT Refresh() = 0;
};

}  // namespace ZELK::PSESVC

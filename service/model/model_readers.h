// The readers model ("zelk.readersinfo"): one item per smart-card reader, as
// the reader manager keeps it up to date. Reached by class name; a service
// without it runs all the same.
#pragma once

#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CModelReaders, 0x7A4C2D58, 0x93E1, 0x4F06, 0xA8, 0x3B, 0x5E, 0x21, 0xD0, 0x9C, 0x46, 0x17);
ZELK_DEFINE_GUID(IID_CModelReader, 0x7A4C2D59, 0x93E1, 0x4F06, 0xA8, 0x3B, 0x5E, 0x21, 0xD0, 0x9C, 0x46, 0x18);

namespace ZELK::PSESVC {

class CModelReader : public IUnknown {
public:
    static const GUID& GetIID() { return IID_CModelReader; }

    // NULL clears the ATR.
    virtual HRESULT SetAtr(const char* atr) = 0;
    virtual HRESULT SetConnectionInfo(const char* text) = 0;
};

class CModelReaders : public IUnknown {
public:
    static const GUID& GetIID() { return IID_CModelReaders; }

    // `out` may be NULL.
    virtual HRESULT AddReader(const char* name, CModelReader** out) = 0;
    virtual HRESULT DelReader(const char* name) = 0;
    // *out NULL when there is none.
    virtual HRESULT GetReader(const char* name, CModelReader** out) = 0;
    virtual HRESULT DeleteAllElements() = 0;
};

}  // namespace ZELK::PSESVC

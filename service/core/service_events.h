// The event interfaces of the service: reader and card events that sources
// report to the reader manager, and slot events that the reader manager
// passes to its sink, the token manager, and the token manager to the
// clients' slot-event objects.
#pragma once

#include "qev_token.h"
#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_ISlotEvents, 0x8B27D4E0, 0x1F63, 0x4A0C, 0xB5, 0x7E, 0x3D, 0x92, 0x0A, 0x6F, 0xC1, 0x48);
ZELK_DEFINE_GUID(IID_IReaderEvents, 0x8B27D4E1, 0x1F63, 0x4A0C, 0xB5, 0x7E, 0x3D, 0x92, 0x0A, 0x6F, 0xC1, 0x49);

namespace ZELK::PSESVC {

class ISlotEvents : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ISlotEvents; }

    enum EVENT : unsigned int {
        READER_REMOVED = 0x1,
        READER_ADDED = 0x2,
        CARD_REMOVED = 0x100,
        CARD_INSERTED = 0x200,
        CARD_CHANGED = 0x400,
    };

    virtual HRESULT SlotEvent(EVENT event, SecSlot* slot) = 0;
};

class IReaderEvents : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IReaderEvents; }

    enum EVENT : unsigned int {
        READER_REMOVED = 0x1,
        READER_ADDED = 0x2,
        SCAN_STARTED = 0x4,
        READERS_SCANNED = 0x8,
        CARD_REMOVED = 0x100,
        CARD_INSERTED = 0x200,
        CARD_CHANGED = 0x400,
        CARDS_SCANNED = 0x800,
        BUSY = 0x1000,
        NOT_BUSY = 0x2000,
    };

    // `value` of a card-inserted event carries the card's ATR text, or 0.
    virtual HRESULT ReaderEvent(EVENT event, const char* reader, unsigned long value) = 0;
};

}  // namespace ZELK::PSESVC

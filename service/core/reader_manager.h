// The reader manager ("zelk.readermgr"): the service's slots of smart-card
// readers, keychain identities and enrolment profiles, the readers model,
// the reader-scan state, and the one sink (the token manager) to which every
// slot event is passed.
#pragma once

#include <atomic>

#include "../model/model_readers.h"
#include "aux_arrays.h"
#include "service_events.h"
#include "zelk_object.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_CReaderMgr, 0x8B27D4E2, 0x1F63, 0x4A0C, 0xB5, 0x7E, 0x3D, 0x92, 0x0A, 0x6F, 0xC1, 0x4A);

namespace ZELK::PSESVC {

class CReaderMgr : public IReaderEvents, public CSingletonFactoryImpl<CReaderMgr>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CReaderMgr)
    ZELK_INTMAP_ENTRY_CLASS(IID_CReaderMgr)
    ZELK_INTMAP_ENTRY(IReaderEvents)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CReaderMgr; }

    CReaderMgr();
    ~CReaderMgr() override;

    // 1 once finalised, 0x80000003 without the reader name that a reader or
    // card event needs, else 0.
    HRESULT ReaderEvent(EVENT event, const char* reader, unsigned long value) override;
    // Adds the slot of a name that has none; 0 (1 once finalised).
    virtual HRESULT ReaderAdd(const char* name);
    // Removes the slot of a name; 0 (1 once finalised).
    virtual HRESULT ReaderDel(const char* name);
    // The slot's position (one reference in *out), -1 when there is none.
    virtual long ReaderGet(const char* name, SecSlot** out);
    HRESULT Initialize() override;
    HRESULT Finalize() override;
    virtual HRESULT RegisterEventSink(IUnknown* sink);
    virtual HRESULT UnregisterEventSink(IUnknown* sink);
    // Ends once no scan is busy and the cards (full) or readers were scanned;
    // 0x80000007 once finalised.
    virtual HRESULT WaitForScan(signed char full);
    virtual HRESULT getSlots(SecSlot** slots, unsigned long* count);
    virtual long getSlotByName(SecSlot** out, const char* name, unsigned char flag);
    virtual HRESULT SetAtr(CModelReader* model, const char* atr);
    virtual HRESULT ForwardEvent(EVENT event, const char* name);

    // The singleton with one reference, without making it: 0x80004005 when
    // there is none.
    static HRESULT GetExisting(CReaderMgr** out);
    // How long WaitForScan sleeps between looks at the scan state.
    static std::atomic<int> s_scanPollMilliseconds;

private:
    long Find(const char* name, SecSlot** out);

    CriticalSection m_csSink;
    ZELK_PTR(ISlotEvents) m_sink;
    ZELK_PTR(CModelReaders) m_model;
    std::atomic<bool> m_readersScanned {false};
    std::atomic<bool> m_cardsScanned {false};
    std::atomic<bool> m_busy {false};
    std::atomic<bool> m_finalized {false};
    CriticalSection m_csList;
    AuxRefArray<SecSlot> m_slots;
};

}  // namespace ZELK::PSESVC

// The slot-event object that the service PSE hands to a client: a queue of
// changed slots fed by the token manager and drained by the client's
// blocking wait. cancel ends every present and future wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "aux_arrays.h"
#include "service_events.h"

namespace ZELK::PSESVC {

// PKCS#11's answers to a slot-event wait.
constexpr HRESULT CKR_NO_EVENT_RESULT = 8;
constexpr HRESULT CKR_NOT_INITIALIZED_RESULT = 0x190;
constexpr unsigned long WAIT_DONT_BLOCK = 1;

class ZELKSlotEvents : public ISlotEvents, public SecSlotEvents {
public:
    // A new object with one reference for the caller, registered with the
    // PSE factory until it is destroyed.
    static HRESULT Create(ZELKSlotEvents** out);

    HRESULT QueryInterface(const GUID& iid, void** out) override;
    long AddRef() override;
    long Release() override;
    // One more reference unless the object is already being destroyed.
    bool TryAddRef();

    // Queues the slot unless it is queued already (1 then); 0.
    HRESULT SlotEvent(EVENT event, SecSlot* slot) override;

    const char* getType() override { return nullptr; }
    HRESULT cpy(SecSlotEvents**) override { return S_OK; }
    int cmp(const SecSlotEvents*) override { return 0; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return S_OK; }
    // The oldest changed slot (0); 8 without one when bit 0 of `flags` is
    // set; 0x190 once cancelled. A NULL `out` drops the slot.
    HRESULT wait(unsigned long flags, SecSlot** out) override;
    // Stops the slot changes and wakes every waiter; 0.
    HRESULT cancel() override;

private:
    ZELKSlotEvents();
    ~ZELKSlotEvents() override;

    std::atomic<long> m_refs {0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    AuxRefArray<SecSlot> m_queue;
    std::atomic<bool> m_cancelled {false};
};

}  // namespace ZELK::PSESVC

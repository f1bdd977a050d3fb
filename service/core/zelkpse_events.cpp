// The service PSE's slot-event object: a queue of changed slots that the
// token manager feeds and the crypto library waits on.
#include "../tokens/token_manager.h"
#include "slot_events.h"
#include "zelk_trace.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {

HRESULT ZELKPSE::getSlotEvents(SecSlotEvents** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getSlotEvents");
    if (out == nullptr)
        return trace.result = S_OK;
    *out = nullptr;
    ZELKSlotEvents* events = nullptr;
    trace.result = ZELKSlotEvents::Create(&events);
    if (FAILED(trace.result))
        return trace.result;
    *out = events;
    AuxRefPtr<CTokenMgr> tokens;
    if (SUCCEEDED(CSingletonFactoryImpl<CTokenMgr>::New(&tokens)))
        tokens->RegisterEventSink(static_cast<ISlotEvents*>(events));
    return trace.result = S_OK;
}

}  // namespace ZELK::PSESVC

// The per-client PSE factory ("zelk.psefactory"): owns the one shared
// security context of the service, gives every client session a remoting
// stub over that context's service PSE, hands the service PSE to the PSE
// provider module of the service's own process, and wakes every pending
// slot-event wait at shutdown.
#pragma once

#include <atomic>

#include "aux_arrays.h"
#include "qev_pse.h"
#include "zelk_classfactory.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_sync.h"
#include "zelk_tunnel.h"

ZELK_DEFINE_GUID(IID_CPSEFactory, 0x2E7F4B91, 0x6C1D, 0x4B8A, 0x9F, 0x52, 0x0E, 0xA3, 0x71, 0xD6, 0x28, 0x4D);

namespace ZELK::PSESVC {

class ZELKSlotEvents;

class CPSEFactory : public IClassFactory,
                    public ITunnelCallback,
                    public CSingletonFactoryImpl<CPSEFactory>,
                    public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CPSEFactory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_INTMAP_ENTRY(ITunnelCallback)
    ZELK_END_INTMAP()

    CPSEFactory() = default;
    ~CPSEFactory() override;

    // One remoting stub for one client session, in *out. 0x80004005 and *out
    // NULL without a context, its PSE or a stub; the PSE goes to the provider
    // module all the same once there is one.
    HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** out) override;
    // FALSE wakes every pending slot-event wait; 1.
    HRESULT LockServer(bool lock) override;
    HRESULT Initialize() override;
    // Drops the shared context and the provider module's table.
    HRESULT Finalize() override;
    // Makes the shared context when there is none; 0.
    virtual HRESULT CreateInstance();

    // The transport that serves clients now, kept by the service PSE (no
    // reference held).
    HRESULT SetTunnelSource(IUnknown* source) override;
    HRESULT Reset(ITunnel* tunnel) override;
    HRESULT ClientConnect(const char* process, unsigned int pid) override;
    HRESULT ClientDisconnect(const char* process, unsigned int pid) override;
    HRESULT ClientActive(const char* process, unsigned int pid) override;

    // The pending list of the factory, when it exists; 0.
    static HRESULT RegiserSlotEvent(ZELKSlotEvents* events);
    static HRESULT UnregiserSlotEvent(ZELKSlotEvents* events);
    // The shared context with one reference; 0x80004005 without the factory
    // or a context.
    static HRESULT GetASC(ASC** out);
    // A context of the caller's own whose service PSE offers only the crypto
    // library's certificates; 0x80004005 when none can be made.
    static HRESULT GetASC(ASC** out, ZELK_IPolicy* policy);

    // Objects in the pending list (tests).
    uint64_t PendingCount();

private:
    // Hands the service PSE to the PSE provider module on the first session.
    void HandToProvider(PSE* pse);

    AuxRefPtr<ASC> m_asc;
    std::atomic<bool> m_hasContext {false};
    CriticalSection m_cs;
    AuxPtrArray<ZELKSlotEvents> m_pending;
    API_COMMON* m_provider = nullptr;
    bool m_providerTried = false;
};

}  // namespace ZELK::PSESVC

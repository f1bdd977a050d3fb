// The service's end of one client session ("zelk.pseproxy.stub"): the
// session's object table, whose object 0 is the service's PSE served by the
// root stub, and the connection callback told once of a broken connection.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "objcache.h"
#include "qev_pse.h"
#include "zelk_object.h"
#include "zelk_pseproxy.h"
#include "zelk_ptr.h"

namespace ZELK::PSESVC {

// Decodes the PSE methods 7 to 36, calls the service's PSE and encodes its
// answers. It holds no lock while the PSE works.
class PSEStub : public ITunnelPSE {
public:
    explicit PSEStub(ObjCache* cache) : m_cache(cache) {}

    HRESULT QueryInterface(const GUID& iid, void** out) override;
    long AddRef() override { return ++m_refs; }
    long Release() override;
    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override;
    HRESULT Disconnect() override { return S_OK; }
    // Holds the PSE and registers it in the table (the first gets number 0).
    HRESULT SetPSE(PSE* pse) override;
    HRESULT SetCallback(ITunnelCallback*) override { return E_NOTIMPL; }

    uint32_t Id() const { return m_id; }

private:
    ~PSEStub() override;
    HRESULT Dispatch(Method method, TransactionStub& transaction, PSE* pse);

    std::atomic<long> m_refs {0};
    std::mutex m_lock;
    // One reference each; a replaced PSE is kept until the stub ends, so a
    // request reads the current one without a reference of its own.
    std::atomic<PSE*> m_pse {nullptr};
    std::vector<PSE*> m_retired;
    uint32_t m_id = 0;
    ObjCache* m_cache;
};

class PSEStubImpl : public ITunnelPSE, public ITunnelFkt, public ObjCache, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(PSEStubImpl)
    ZELK_INTMAP_ENTRY(ITunnelPSE)
    ZELK_INTMAP_ENTRY(ITunnelFkt)
    ZELK_INTMAP_ENTRY_IID(IID_ITunnel, ITunnelPSE)
    ZELK_END_INTMAP()

    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override;
    HRESULT Disconnect() override { return S_OK; }
    HRESULT SetPSE(PSE* pse) override;
    HRESULT SetCallback(ITunnelCallback* callback) override;
    HRESULT RegisterFactory(const char* className, IClassFactory* factory) override;

protected:
    PSEStubImpl();
    ~PSEStubImpl() override;

private:
    ZELK_PTR(ITunnelPSE) m_root;
    std::atomic<ITunnelCallback*> m_callback {nullptr};
};

}  // namespace ZELK::PSESVC

// The local HTTPS server of the local-server profile: the raw TCP server on
// 127.0.0.1, the TLS connection factory and the API factory, linked on Start
// and unlinked on Stop. The local-server token holds one for its whole life.
#pragma once

#include <mutex>
#include <string>

#include "zelk_classfactory.h"
#include "zelk_holders.h"
#include "zelk_ptr.h"
#include "zelk_resloader.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC {

class CWebAdapterService {
public:
    CWebAdapterService();
    virtual ~CWebAdapterService();
    CWebAdapterService(const CWebAdapterService&) = delete;
    CWebAdapterService& operator=(const CWebAdapterService&) = delete;

    // Builds the chain; 0 or the failing step's result. A TLS configuration
    // that fails binds nothing.
    virtual HRESULT Start();
    // Unlinks and releases the chain; 0.
    virtual HRESULT Stop();
    // The text of the last failed start, copied.
    std::wstring getErrorMessage();
    // Queues Start on the task manager, due at once.
    HRESULT StartTask();

private:
    static int RunStart(unsigned long service);
    void SetError(const char* key);

    std::mutex m_lock;
    AuxRefPtr<ITunnelSource> m_rawServer;
    AuxRefPtr<IClassFactory> m_apiFactory;
    AuxRefPtr<ITunnelSource> m_tlsFactory;
    std::wstring m_error;
    ZELK_PTR(IResourceManager) m_texts;
};

}  // namespace ZELK::PSESVC

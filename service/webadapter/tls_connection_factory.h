// The TLS server of the local HTTPS server: one TLS context configured from
// the local-server profile's identity, one TLS connection per accepted socket
// with a new API handler inside.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "qev_ssl.h"
#include "zelk_classfactory.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_tunnel.h"

ZELK_DEFINE_GUID(IID_CTLSConnectionFactory, 0x3C8E51A7, 0x94D2, 0x4B6F, 0x8E, 0x17, 0x52, 0xB0, 0x9D, 0x4A, 0x6E, 0x21);

namespace ZELK::PSESVC::WEBCLIENT {

constexpr const char* TLS_FACTORY_CLASS = "zelk.webclient.tlsconnection.factory";

class CTLSConnectionFactory : public IClassFactory, public ITunnelSource, public ITunnelControl, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTLSConnectionFactory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_INTMAP_ENTRY(ITunnelSource)
    ZELK_INTMAP_ENTRY(ITunnelControl)
    ZELK_INTMAP_ENTRY_CLASS(IID_CTLSConnectionFactory)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CTLSConnectionFactory; }

    // A new factory of class T queried for `iid`, its configuration tried
    // once; a failed configuration is retried by the next connection.
    template <class T>
    static HRESULT NewOf(const GUID& iid, void** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        CComObject<T>* object = nullptr;
        HRESULT hr = CComObject<T>::CreateInstance(&object);
        if (FAILED(hr))
            return hr;
        object->AddRef();
        object->Initialize();
        hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }

    // A TLS connection with a new inner tunnel from the connected object,
    // always as ITunnel.
    HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** out) override;
    HRESULT LockServer(bool lock) override;
    ~CTLSConnectionFactory() override;
    // Configures the TLS context. One configuration runs at a time; a caller
    // that waited for another takes that one's outcome.
    virtual HRESULT Initialize();
    virtual HRESULT Finalize();
    // 0 when the TLS context is configured, 0x80004005 otherwise.
    virtual HRESULT CreateInstance();
    HRESULT Connect(IUnknown* next) override;
    HRESULT Disconnect(IUnknown* next) override;
    bool CloseAfterTransact() override;
    // Answers ATTR_LOCAL_PORT: the port, -1 when unknown.
    HRESULT GetProperties(SECAttribute* attributes) override;
    HRESULT SetProperties(SECAttribute* attributes) override;

protected:
    // Finds the local-server profile, logs it in when needed and takes its
    // in-memory PSE name, credential and port (SetIdentity). The service's
    // factory reads the token manager's profile; tests give an identity.
    virtual HRESULT EnrollLocalhostProfile() = 0;
    // The configuration's PSE name, credential and port; called under the
    // configuration lock.
    void SetIdentity(const char* pseName, const char* credential, int port);

private:
    HRESULT Configure();
    HRESULT CheckInit();

    std::mutex m_configLock;
    std::atomic<bool> m_initialized {false};
    std::atomic<unsigned> m_attempts {0};
    HRESULT m_lastResult = E_FAIL;
    ssl_context* m_context = nullptr;
    std::mutex m_nextLock;
    AuxRefPtr<IUnknown> m_next;
    std::string m_pseName;
    std::string m_credential;
    std::atomic<int> m_port {-1};
};

}  // namespace ZELK::PSESVC::WEBCLIENT

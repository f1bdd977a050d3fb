// The JSON API of the local HTTPS server: one handler per connection checks
// the origin, dispatches the path to the facade and adds the CORS headers;
// the API factory makes the handlers.
#pragma once

#include <cstdint>

#include "http_protocol.h"
#include "kvc_api_facade.h"
#include "zelk_classfactory.h"

namespace ZELK::PSESVC::WEBCLIENT {

constexpr const char* API_HANDLER_CLASS = "zelk.webclient.api.handler";
constexpr const char* API_FACTORY_CLASS = "zelk.webclient.api.factory";

class CAPIHandler : public CHTTPProtocol {
public:
    ZELK_BEGIN_INTMAP(CAPIHandler)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_INTMAP_ENTRY(ITunnelControl)
    ZELK_END_INTMAP()

    CAPIHandler();
    ~CAPIHandler() override;

    // Takes the peer's process id and registers the browser as a client.
    HRESULT SetProperties(SECAttribute* attributes) override;
    HRESULT HandleRequest(IHTTPRequest* request, IHTTPResponse** response) override;

private:
    void HandleGET(IHTTPRequest* request, IHTTPResponse* response, const char* allowed);
    void HandlePOST(IHTTPRequest* request, IHTTPResponse* response, const char* allowed);
    void HandleOPTIONS(IHTTPRequest* request, IHTTPResponse* response);
    // The dispatch name of the path, or NULL after answering 404.
    const char* CheckKVCNamespace(IHTTPRequest* request, IHTTPResponse* response);
    void CreateError(IHTTPResponse* response, int status, const char* text);
    void CreateSuccess(IHTTPResponse* response, IJsonObject* object);
    void TraceError(int status, const char* name, const char* origin, const char* profileId);

    AuxRefPtr<CKVCAPIFacade> m_facade;
    uint32_t m_pid = 0;
};

class CAPIFactory : public IClassFactory, public CSingletonFactoryImpl<CAPIFactory>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CAPIFactory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_END_INTMAP()

    // A new handler, queried for `iid`; the outer object is ignored.
    HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** out) override;
    HRESULT LockServer(bool lock) override;
    virtual HRESULT CreateInstance();
};

}  // namespace ZELK::PSESVC::WEBCLIENT

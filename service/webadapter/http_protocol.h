// The HTTP layer of one local HTTPS connection: plaintext bytes in, one
// request assembled across calls, one response out.
#pragma once

#include "zelk_holders.h"
#include "zelk_http.h"
#include "zelk_object.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::WEBCLIENT {

class CHTTPProtocol : public ITunnel, public ITunnelControl, public CComObjectRoot {
public:
    // 0 with the response, 1 while the request is incomplete, or a failure.
    HRESULT Transact(unsigned char* in, unsigned long inLen, unsigned char** out, unsigned long* outLen) override;
    HRESULT Disconnect() override;
    ~CHTTPProtocol() override = default;
    // True only after a refused request: its answer is the connection's last.
    bool CloseAfterTransact() override;
    HRESULT GetProperties(SECAttribute* attributes) override;
    HRESULT SetProperties(SECAttribute* attributes) override;
    virtual HRESULT HandleRequest(IHTTPRequest* request, IHTTPResponse** response) = 0;

private:
    // The parser's status, "Connection: close" and no body.
    HRESULT Refuse(int status, unsigned char** out, unsigned long* outLen);

    AuxRefPtr<IHTTPRequest> m_request;
    bool m_closeAfterTransact = false;
};

}  // namespace ZELK::PSESVC::WEBCLIENT

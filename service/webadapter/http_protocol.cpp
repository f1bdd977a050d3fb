#include "http_protocol.h"

#include "../core/create_object.h"
#include "qev_results.h"

namespace ZELK::PSESVC::WEBCLIENT {

HRESULT CHTTPProtocol::Transact(unsigned char* in, unsigned long inLen, unsigned char** out, unsigned long* outLen)
{
    if (!m_request) {
        HRESULT hr = ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_REQUEST, &m_request);
        if (FAILED(hr))
            return hr;
    }
    HRESULT parsed = m_request->parse(in, inLen);
    int refusal = m_request->getRefusalStatus();
    if (refusal != 0) {
        m_request.Free();
        return Refuse(refusal, out, outLen);
    }
    if (FAILED(parsed))
        return parsed;
    if (parsed == 1)
        return 1;
    AuxRefPtr<IHTTPResponse> response;
    HRESULT handled = HandleRequest(m_request, &response);
    m_request.Free();
    if (FAILED(handled) || !response) {
        HRESULT hr = ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_RESPONSE, &response);
        if (FAILED(hr))
            return hr;
        response->setStatus(500, nullptr);
    }
    return response->getNetworkBytes(out, outLen);
}

HRESULT CHTTPProtocol::Refuse(int status, unsigned char** out, unsigned long* outLen)
{
    AuxRefPtr<IHTTPResponse> response;
    HRESULT hr = ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_RESPONSE, &response);
    if (FAILED(hr))
        return hr;
    m_closeAfterTransact = true;
    response->setStatus(status, nullptr);
    response->addHeader("Connection", "close");
    return response->getNetworkBytes(out, outLen);
}

HRESULT CHTTPProtocol::Disconnect()
{
    return static_cast<HRESULT>(0xFFFFFFFF);
}

bool CHTTPProtocol::CloseAfterTransact()
{
    return m_closeAfterTransact;
}

HRESULT CHTTPProtocol::GetProperties(SECAttribute*)
{
    return E_NOTIMPL;
}

HRESULT CHTTPProtocol::SetProperties(SECAttribute*)
{
    return E_NOTIMPL;
}

}  // namespace ZELK::PSESVC::WEBCLIENT

#include "kestrin_codes.h"

#include "qev_ssl.h"
#include "qev_url.h"
#include "zelk_kestrin.h"

namespace kestrin::enrol {

HRESULT MapTransportCode(HRESULT code)
{
    switch (code) {
    case S_OK:
        return S_OK;
    case E_SSL_UNTRUSTED:
    case E_URL_CERTCHAIN:
        return E_QM_URL_ERROR_SSL;
    case E_SSL_ACCESSDENIED:
        return E_ACCESSDENIED;
    case E_URL_CONNECTTIMEOUT:
    case E_URL_TIMEOUT:
        return E_QM_SERVER_CONNECT_TIMEOUT;
    case E_URL_SERVERERROR:
        return E_QM_SERVER_ERROR;
    case E_URL_CERTNAME:
    case E_URL_CERTNAME_CN:
        return E_QM_URL_ERROR_SSL_NAME;
    case E_URL_CERTEXT:
        return E_QM_URL_ERROR_SSL_EXT;
    case E_URL_UNKNOWNHOST:
        return E_QM_SERVER_ERROR_NOHOST;
    default:
        return E_QM_URL_ERROR;
    }
}

}  // namespace kestrin::enrol

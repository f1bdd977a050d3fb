// The transport of the enrolment client: connection set-up with the
// profile's settings, the standard headers, one request with its cookies,
// SPNEGO when the server asks for it, and the status check.
#include <strings.h>

#include <cstring>

#include "enrol_bindings.h"
#include "kestrin.h"
#include "kestrin_codes.h"
#include "kestrin_cookies.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";
const char kRequestModule[] = "zelkkvlogin";

// A text policy value without blanks at both ends; empty when absent.
StringT<char> TrimmedString(ZELK_IPolicy* policy, const char* name)
{
    StringT<char> value(policy, name);
    if (!value.IsEmpty())
        String_Chop(value.GetBuffer(0));
    return value;
}

}  // namespace

HRESULT CKestrin::create_urlRef(ASC* context, url_context** urlContext, url_connection** connection, const char* url,
                                ZELK_IPolicy* policy, wchar_t** host)
{
    if (context == nullptr || urlContext == nullptr || connection == nullptr)
        return E_INVALIDARG;
    unsigned long timeout = 0;
    unsigned int flags = 0;
    StringT<char> proxy;
    if (policy != nullptr) {
        timeout = policy->GetDWORD("networkTimeout");
        proxy = TrimmedString(policy, "HTTPProxyURL");
        if (policy->GetDWORD("sslHostAlternativeNameCheck") != 0)
            flags |= URL_CHECK_ALT_NAMES;
        if (policy->GetDWORD("sslHostCommonNameCheck") != 0)
            flags |= URL_CHECK_COMMON_NAME;
        if (policy->GetDWORD("sslHostExtensionCheck") != 0)
            flags |= URL_CHECK_EXTENSIONS;
    }
    HRESULT hr = context->createURLContext(urlContext);
    if (FAILED(hr) || *urlContext == nullptr)
        return E_INVALIDARG;
    if (proxy.IsEmpty()) {
        ZELK_IPolicy* network = nullptr;
        if (ZELK_PolOpen("Network", &network) >= 0 && network != nullptr) {
            proxy = TrimmedString(network, "HTTPProxyURL");
            ZELK_PolClose(&network);
        }
    }
    if (timeout == 0)
        timeout = 30;
    (*urlContext)->setTimeout(timeout, 0);
    (*urlContext)->createConnection(connection, 0);
    if (*connection == nullptr)
        return E_INVALIDARG;
    (*connection)->setNameChecks(flags);
    ssl_context* tls = nullptr;
    hr = context->getSSLContext(&tls);
    if (FAILED(hr) || tls == nullptr) {
        SECTRACE_FormatLn(kTraceModule, 1, "TLS context can not be estabblished, error code %d", hr);
        return E_FAIL;
    }
    tls->Initialize(SSL_SETTING_CLIENT_DEFAULTS);
    tls->Release();
    (*connection)->open(url, "1.0");
    (*connection)->addRequestHeader("Accept", "text/xml, application/json");
    if (host != nullptr) {
        SET_OF_String* hosts = nullptr;
        if (SUCCEEDED((*connection)->getHost(&hosts)) && hosts != nullptr && hosts->element != nullptr)
            String_Convert(hosts->element, host, 0);
        AuxPtr<SET_OF_String> owner(hosts);
    }
    if (!proxy.IsEmpty())
        (*connection)->setProxy(proxy, "1.0", 0, 0);
    return S_OK;
}

HRESULT CKestrin::create_urlRef(const char* url)
{
    AuxRefPtr<ASC> context;
    GetASC(&context);
    FreeConnection();
    StringT<wchar_t> host;
    HRESULT hr = create_urlRef(context, &m_pURLContext, &m_pConnection, url, m_pPolicy, &host);
    m_wstrHost = host;
    if (m_pConnection != nullptr) {
        m_pConnection->addRequestHeader("X-User-Agent", "Kestrin Client 3.0.2000.0");
        if (!m_strAcceptLanguage.IsEmpty())
            m_pConnection->addRequestHeader("Accept-Language", m_strAcceptLanguage);
        if (m_strAcceptLanguage.IsEmpty() || m_strAcceptLanguage.CompareNoCase("en-US") != 0)
            m_pConnection->addRequestHeader("Accept-Language", "en-US");
        m_pConnection->addRequestHeader("Accept-Charset", "utf-8,iso-8859-1,*");
    }
    m_strURL = url;
    m_wstrURL = StringT<wchar_t>(url, 0);
    return hr;
}

void CKestrin::FreeConnection()
{
    if (m_pConnection != nullptr)
        m_pConnection->Release();
    if (m_pURLContext != nullptr)
        m_pURLContext->Release();
    m_pConnection = nullptr;
    m_pURLContext = nullptr;
}

HRESULT CKestrin::finalize_url()
{
    FreeConnection();
    return S_OK;
}

HRESULT CKestrin::url_do_query(const char* body)
{
    if (m_pConnection == nullptr)
        return E_QM_URL_ERROR;
    OctetString request {body != nullptr ? std::strlen(body) : 0,
                         reinterpret_cast<unsigned char*>(const_cast<char*>(body))};
    m_pResponseBody.Free();
    OctetString* response = nullptr;
    HRESULT hr = m_pConnection->sendRequest(&request, &response);
    m_pResponseBody = response;
    if (m_pResponseBody)
        BaseCore()->OctetString_ZeroTerminate(m_pResponseBody);
    if (hr != S_OK)
        return MapTransportCode(hr);
    StringT<char> header;
    unsigned long count = 0;
    const char* const* lines = m_pConnection->getResponseHeaderLines(&count);
    if (lines != nullptr) {
        if (SUCCEEDED(ParseHTTPHeaderAndGenerateCookieHeader(m_pCookies, lines, count, &header))) {
            m_pConnection->setRequestHeader("Cookie", nullptr);
            if (!header.IsEmpty())
                m_pConnection->addRequestHeader("Cookie", header);
        }
    } else if (SUCCEEDED(GenerateCookieHeader(m_pConnection->getResponseHeader("Set-Cookie"), &header))) {
        m_pConnection->setRequestHeader("Cookie", header);
        m_pConnection->addRequestHeader("Cookie", header);
    }
    return S_OK;
}

HRESULT CKestrin::Send_Any(const char* body, const char* contentType)
{
    SECTRACE_WriteLn(kTraceModule, 5, "CKestrin::Send_Any");
    if (m_pConnection == nullptr) {
        m_nState = QM_STATE_ERROR;
        return E_QM_URL_ERROR;
    }
    if (contentType != nullptr) {
        m_pConnection->setRequestHeader("Content-Type", nullptr);
        m_pConnection->addRequestHeader("Content-Type", contentType);
    }
    if (m_bSPNego && m_pSPNegoCB) {
        m_pConnection->setRequestHeader("Authorization", nullptr);
        StringT<char> token;
        HRESULT hr = m_pSPNegoCB->CreateSPNegoToken(nullptr, &token);
        if (FAILED(hr))
            return hr;
        if (token) {
            SECTRACE_WriteLn(kRequestModule, 3, "Sending SPNEGO authentication");
            StringT<char> value;
            value.Format("Negotiate %s", static_cast<const char*>(token));
            if (m_pProtocol)
                m_pProtocol->SetHttpHeader("Authorization", value);
            else
                m_pConnection->addRequestHeader("Authorization", value);
        }
    }
    if (body == nullptr) {
        m_nState = QM_STATE_ERROR;
        return E_QM_COMPOSEXML;
    }
    HRESULT hr = url_do_query(body);
    if (FAILED(hr)) {
        m_nState = QM_STATE_ERROR;
        return hr;
    }
    const char* status = m_pConnection->getStatusLine();
    SECTRACE_FormatLn(kRequestModule, 3, "Response: HTTP Status %s", status != nullptr ? status : "");
    if (m_pSPNegoCB && !m_bSPNego) {
        const char* challenge = m_pConnection->getResponseHeader("WWW-Authenticate");
        if (challenge != nullptr && strcasecmp(challenge, "Negotiate") == 0) {
            SECTRACE_WriteLn(kRequestModule, 3, "Sending SPNEGO authentication");
            m_bSPNego = true;
            return Send_Any(body, contentType);
        }
    }
    return status != nullptr && strcasecmp(status, "200 OK") == 0 ? S_OK : E_FAIL;
}

const char* CKestrin::GetHttpResponseHeader(const char* name)
{
    return m_pConnection != nullptr ? m_pConnection->getResponseHeader(name) : nullptr;
}

const char* CKestrin::GetResponseBody()
{
    return m_pResponseBody ? reinterpret_cast<const char*>(static_cast<OctetString*>(m_pResponseBody)->data) : nullptr;
}

OctetString* CKestrin::GetResponseBodyBlob()
{
    SECTRACE_FormatLn(kTraceModule, 4, "JSON Response: %s", GetResponseBody() != nullptr ? GetResponseBody() : "");
    return m_pResponseBody;
}

}  // namespace kestrin::enrol

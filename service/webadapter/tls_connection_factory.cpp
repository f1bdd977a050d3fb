#include "tls_connection_factory.h"

#include "qev_attributes.h"
#include "qev_pse.h"
#include "tls_connection.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::WEBCLIENT {

namespace {

constexpr const char* TRACE_MODULE = "webadapter";

API_COMMON* s_ssl = nullptr;
CLoadAPI s_loadSsl(nullptr, "SEC_SSL_1", &s_ssl);
API_COMMON* s_asc = nullptr;
CLoadAPI s_loadAsc(nullptr, "SEC_ASC_1", &s_asc);

}  // namespace

CTLSConnectionFactory::~CTLSConnectionFactory()
{
    Finalize();
}

void CTLSConnectionFactory::SetIdentity(const char* pseName, const char* credential, int port)
{
    m_pseName = pseName != nullptr ? pseName : "";
    m_credential = credential != nullptr ? credential : "";
    m_port = port;
}

HRESULT CTLSConnectionFactory::Initialize()
{
    // Counted before the lock: a caller that arrives while a configuration
    // runs waits for it and takes its outcome.
    unsigned seen = m_attempts;
    std::lock_guard<std::mutex> lock(m_configLock);
    if (m_initialized)
        return S_OK;
    // A configuration that ended while this caller waited answers for it:
    // no second login for the same connection burst.
    if (m_attempts != seen)
        return m_lastResult;
    m_lastResult = Configure();
    ++m_attempts;
    return m_lastResult;
}

HRESULT CTLSConnectionFactory::Configure()
{
    HRESULT hr = EnrollLocalhostProfile();
    if (FAILED(hr))
        return hr;
    const auto* ssl = ZELK_ApiCast<SEC_SSL_TABLE>(s_ssl);
    const auto* ascs = ZELK_ApiCast<SEC_ASC_TABLE>(s_asc);
    ssl_context* context = nullptr;
    hr = ssl != nullptr ? ssl->new_context(&context, SSL_VERSION_TLS12_AND_LATER, SSL_MODE_SERVER) : E_FAIL;
    if (FAILED(hr) || context == nullptr) {
        SECTRACE_FormatLn(TRACE_MODULE, 1, "Webadapter TLS server configuration error, can not create TLS context [%d]",
                          hr);
        return E_FAIL;
    }
    unsigned long options = 0;
    context->GetOptions(&options);
    context->SetOptions(options | SSL_OPTION_NO_RENEGOTIATION);
    context->Initialize(SSL_SETTING_SERVER_DEFAULTS);

    SECAttribute credential {};
    credential.id = SEC_ATTR_PSE_IMAGE;
    credential.value = const_cast<char*>(m_credential.c_str());
    ASC* asc = nullptr;
    hr = ascs != nullptr ? ascs->create_ASC(&asc, &credential) : E_FAIL;
    if (SUCCEEDED(hr) && asc != nullptr) {
        hr = context->UseSecurityContext(asc, 0);
        asc->Release();
    } else if (SUCCEEDED(hr)) {
        hr = E_FAIL;
    }
    if (FAILED(hr)) {
        SECTRACE_FormatLn(TRACE_MODULE, 1,
                          "Webadapter TLS server configuration error, can not use TLS server certificate [%d]", hr);
        context->Release();
        return E_FAIL;
    }
    m_context = context;
    m_initialized = true;
    SECTRACE_WriteLn(TRACE_MODULE, 3, "Webadapter TLS server is configured successfully");
    return S_OK;
}

HRESULT CTLSConnectionFactory::Finalize()
{
    std::lock_guard<std::mutex> lock(m_configLock);
    m_initialized = false;
    if (m_context != nullptr)
        m_context->Release();
    m_context = nullptr;
    return S_OK;
}

HRESULT CTLSConnectionFactory::CheckInit()
{
    if (!m_initialized)
        Initialize();
    std::lock_guard<std::mutex> lock(m_configLock);
    if (!m_initialized) {
        SECTRACE_WriteLn(TRACE_MODULE, 1, "Webadapter TLS configuration is not initialized, abort");
        return E_FAIL;
    }
    if (m_pseName.empty() || m_credential.empty()) {
        SECTRACE_WriteLn(TRACE_MODULE, 1,
                         "error: Can not start local webadapter, no local server certificate profile initialized");
        return E_FAIL;
    }
    if (m_port < 0) {
        SECTRACE_WriteLn(TRACE_MODULE, 1,
                         "local server certificate does not contain QEV kestrin local port extension, abort");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CTLSConnectionFactory::CreateInstance()
{
    return m_initialized ? S_OK : E_FAIL;
}

HRESULT CTLSConnectionFactory::CreateInstance(IUnknown*, const GUID&, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    HRESULT hr = CheckInit();
    if (FAILED(hr))
        return hr;
    ssl_connection* connection = nullptr;
    hr = m_context->NewConnection(&connection);
    if (FAILED(hr) || connection == nullptr) {
        SECTRACE_FormatLn(TRACE_MODULE, 1, "Webadapter TLS server error, can not create SSL connection context [%d]",
                          hr);
        return E_FAIL;
    }
    AuxRefPtr<ITunnel> tunnel;
    hr = CTLSConnection::New(connection, IID_ITunnel, reinterpret_cast<void**>(&tunnel));
    if (FAILED(hr)) {
        SECTRACE_WriteLn(TRACE_MODULE, 1, "Webadapter TLS server error, can not create SSL connection");
        connection->Release();
        return E_FAIL;
    }
    AuxRefPtr<IUnknown> next;
    {
        std::lock_guard<std::mutex> lock(m_nextLock);
        next = static_cast<IUnknown*>(m_next);
    }
    if (next) {
        AuxRefPtr<ITunnel> inner;
        if (FAILED(next->QueryInterface(IID_ITunnel, reinterpret_cast<void**>(&inner)))) {
            AuxRefPtr<IClassFactory> factory;
            if (SUCCEEDED(next->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory))))
                factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&inner));
        }
        AuxRefPtr<ITunnelSource> source;
        if (inner && SUCCEEDED(tunnel->QueryInterface(IID_ITunnelSource, reinterpret_cast<void**>(&source))))
            source->Connect(inner);
    }
    *out = tunnel.Detach();
    return S_OK;
}

HRESULT CTLSConnectionFactory::LockServer(bool)
{
    return E_NOTIMPL;
}

HRESULT CTLSConnectionFactory::Connect(IUnknown* next)
{
    std::lock_guard<std::mutex> lock(m_nextLock);
    m_next = next;
    return S_OK;
}

HRESULT CTLSConnectionFactory::Disconnect(IUnknown* next)
{
    std::lock_guard<std::mutex> lock(m_nextLock);
    if (next == nullptr) {
        m_next.Free();
        return E_FAIL;
    }
    if (next != static_cast<IUnknown*>(m_next))
        return E_FAIL;
    m_next.Free();
    return S_OK;
}

bool CTLSConnectionFactory::CloseAfterTransact()
{
    return false;
}

HRESULT CTLSConnectionFactory::GetProperties(SECAttribute* attributes)
{
    for (SECAttribute* a = attributes; a != nullptr; a = a->next) {
        if (a->id == ATTR_LOCAL_PORT)
            ZELK_AttrSetInteger(a, m_port);
    }
    return S_OK;
}

HRESULT CTLSConnectionFactory::SetProperties(SECAttribute* attributes)
{
    AuxRefPtr<IUnknown> next;
    {
        std::lock_guard<std::mutex> lock(m_nextLock);
        next = static_cast<IUnknown*>(m_next);
    }
    AuxRefPtr<ITunnelControl> control;
    if (!next || FAILED(next->QueryInterface(IID_ITunnelControl, reinterpret_cast<void**>(&control))))
        return E_FAIL;
    return control->SetProperties(attributes);
}

}  // namespace ZELK::PSESVC::WEBCLIENT

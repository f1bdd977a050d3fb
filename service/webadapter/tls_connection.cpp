#include "tls_connection.h"

#include <algorithm>
#include <climits>

#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::WEBCLIENT {

namespace {

constexpr const char* TRACE_MODULE = "webadapter";
// Plaintext read per engine call.
constexpr unsigned long kReadChunk = 0x4000;

API_COMMON* s_bio = nullptr;
CLoadAPI s_loadBio(nullptr, "SEC_BIO_1", &s_bio);

bool IsNormalState(int state)
{
    return state == SSL_STATE_NONE || state == SSL_STATE_CLOSE_NOTIFY || state == SSL_STATE_WANTS_INPUT
           || state == SSL_STATE_WANTS_OUTPUT;
}

}  // namespace

HRESULT CTLSConnection::New(ssl_connection* connection, const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CTLSConnection>* object = nullptr;
    HRESULT hr = CComObject<CTLSConnection>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    if (FAILED(object->AddSSLHandle(connection))) {
        object->Release();
        return E_FAIL;
    }
    hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

CTLSConnection::~CTLSConnection()
{
    if (m_connection != nullptr)
        m_connection->Release();
    if (m_networkIn != nullptr)
        m_networkIn->Release();
    if (m_networkOut != nullptr)
        m_networkOut->Release();
    // Both buffers held plaintext of the session.
    if (m_plainIn != nullptr)
        sec_memzero(m_plainIn, m_plainInCapacity);
    if (m_plainOut != nullptr)
        sec_memzero(m_plainOut, m_plainOutCapacity);
    sec_free(m_plainIn);
    sec_free(m_plainOut);
}

HRESULT CTLSConnection::AddSSLHandle(ssl_connection* connection)
{
    const auto* table = ZELK_ApiCast<SEC_BIO_TABLE>(s_bio);
    if (connection == nullptr || table == nullptr)
        return E_FAIL;
    bio* in = nullptr;
    HRESULT hr = table->new_bio(&in, BIO_TYPE_MEMORY);
    if (FAILED(hr) || in == nullptr) {
        SECTRACE_FormatLn(TRACE_MODULE, 1, "TLS Error (RC = %x): Can not create read BIO", hr);
        return E_FAIL;
    }
    bio* out = nullptr;
    hr = table->new_bio(&out, BIO_TYPE_MEMORY);
    if (FAILED(hr) || out == nullptr) {
        in->Release();
        SECTRACE_FormatLn(TRACE_MODULE, 1, "TLS Error (RC = %x): Can not create write BIO", hr);
        return E_FAIL;
    }
    hr = connection->SetBIOs(in, out);
    if (FAILED(hr)) {
        in->Release();
        out->Release();
        SECTRACE_FormatLn(TRACE_MODULE, 1, "TLS Error (RC = %x): Can not set BIOs on SSL Handle", hr);
        return E_FAIL;
    }
    m_networkIn = in;
    m_networkOut = out;
    m_connection = connection;
    return S_OK;
}

HRESULT CTLSConnection::allocAppDataBuffer(unsigned long size)
{
    if (m_plainIn != nullptr && m_plainInCapacity >= size)
        return S_OK;
    void* grown = sec_realloc(m_plainIn, size);
    if (grown == nullptr) {
        SECTRACE_WriteLn(TRACE_MODULE, 1, "Can not alloc buffer for application data");
        return E_OUTOFMEMORY;
    }
    m_plainIn = static_cast<unsigned char*>(grown);
    m_plainInCapacity = size;
    return S_OK;
}

HRESULT CTLSConnection::Transact(unsigned char* in, unsigned long inLen, unsigned char** out, unsigned long* outLen)
{
    if (m_connection == nullptr || m_failed)
        return E_FAIL;
    if (in != nullptr && inLen > 0) {
        // Ciphertext that cannot be kept would leave the stream cut short.
        int written = inLen <= INT_MAX ? m_networkIn->Write(in, static_cast<int>(inLen)) : -1;
        if (written != static_cast<int>(inLen)) {
            SECTRACE_FormatLn(TRACE_MODULE, 1, "TLS Error during write data into TLS connection handle (RC = %x) ",
                              written);
            return E_FAIL;
        }
    }
    if (out == nullptr || outLen == nullptr)
        return S_OK;
    HRESULT hr = allocAppDataBuffer(std::max(inLen, kReadChunk));
    if (FAILED(hr))
        return hr;

    // A record split over two calls yields more plaintext than this call
    // brought: read until the engine wants input, growing the buffer up to
    // what one request may hold.
    unsigned long used = 0;
    int last = 0;
    for (;;) {
        if (m_plainInCapacity - used < kReadChunk && m_plainInCapacity < kMaxPlaintext) {
            hr = allocAppDataBuffer(
                static_cast<unsigned long>(std::min<uint64_t>(m_plainInCapacity * 2, kMaxPlaintext)));
            if (FAILED(hr))
                return hr;
        }
        unsigned long room = static_cast<unsigned long>(std::min<uint64_t>(m_plainInCapacity - used, kReadChunk));
        if (room == 0)
            break;
        last = m_connection->Read(m_plainIn + used, static_cast<int>(room));
        if (last <= 0)
            break;
        used += static_cast<unsigned long>(last);
    }

    if (used > 0 && m_inner) {
        unsigned long answerLength = static_cast<unsigned long>(m_plainOutCapacity);
        hr = m_inner->Transact(m_plainIn, used, &m_plainOut, &answerLength);
        if (FAILED(hr))
            return hr;
        if (hr == 1) {
            // Bytes the engine queued in this call (a TLS 1.2 Finished after
            // False Start, TLS 1.3 tickets) still go out.
            unsigned long pending = 0;
            if (FAILED(m_networkOut->Pending(&pending)) || pending == 0)
                return 1;
            return checkForNetworkResponse(last, outLen, out);
        }
        m_plainOutCapacity = std::max<uint64_t>(m_plainOutCapacity, answerLength);
        unsigned long sent = 0;
        while (sent < answerLength) {
            unsigned long part = std::min<unsigned long>(answerLength - sent, INT_MAX);
            last = m_connection->Write(m_plainOut + sent, static_cast<int>(part));
            if (last <= 0) {
                SECTRACE_FormatLn(TRACE_MODULE, 1, "TLS Error during write data into TLS connection handle (RC = %x) ",
                                  last);
                return E_FAIL;
            }
            sent += static_cast<unsigned long>(last);
        }
    }
    return checkForNetworkResponse(last, outLen, out);
}

HRESULT CTLSConnection::checkForNetworkResponse(int lastResult, unsigned long* outLen, unsigned char** out)
{
    int state = SSL_STATE_FATAL;
    m_connection->GetErrorState(lastResult, lastResult, &state);
    if (!IsNormalState(state)) {
        SECTRACE_FormatLn(TRACE_MODULE, 1, "TLS Error (RC = %x), abort connection", state);
        // The alert the engine queued tells the peer why; the connection
        // ends once it is sent.
        unsigned long alert = 0;
        if (FAILED(m_networkOut->Pending(&alert)) || alert == 0 || alert > INT_MAX)
            return E_FAIL;
        m_failed = true;
    }
    if (state == SSL_STATE_CLOSE_NOTIFY) {
        int shutdown = 0;
        m_connection->Shutdown(&shutdown);
        SECTRACE_FormatLn(TRACE_MODULE, 1, "Send TLS shutdown with state %d", shutdown);
    }
    unsigned long pending = 0;
    if (FAILED(m_networkOut->Pending(&pending)) || pending > INT_MAX)
        return E_FAIL;
    if (pending > 0) {
        if (*outLen < pending || *out == nullptr) {
            void* grown = sec_realloc(*out, pending);
            if (grown == nullptr)
                return E_OUTOFMEMORY;
            *out = static_cast<unsigned char*>(grown);
        }
        if (m_networkOut->Read(*out, static_cast<int>(pending)) != static_cast<int>(pending))
            return E_FAIL;
    }
    *outLen = pending;
    return S_OK;
}

HRESULT CTLSConnection::Disconnect()
{
    return S_OK;
}

HRESULT CTLSConnection::Connect(IUnknown* inner)
{
    if (inner == nullptr)
        return E_INVALIDARG;
    AuxRefPtr<ITunnel> tunnel;
    HRESULT hr = inner->QueryInterface(IID_ITunnel, reinterpret_cast<void**>(&tunnel));
    if (FAILED(hr))
        return hr;
    m_inner.Attach(tunnel.Detach());
    return S_OK;
}

HRESULT CTLSConnection::Disconnect(IUnknown* inner)
{
    if (inner == nullptr || !m_inner)
        return E_FAIL;
    AuxRefPtr<ITunnel> tunnel;
    if (FAILED(inner->QueryInterface(IID_ITunnel, reinterpret_cast<void**>(&tunnel)))
        || static_cast<ITunnel*>(tunnel) != static_cast<ITunnel*>(m_inner))
        return E_FAIL;
    m_inner.Free();
    return S_OK;
}

ITunnelControl* CTLSConnection::InnerControl()
{
    ITunnelControl* control = nullptr;
    if (!m_inner || FAILED(m_inner->QueryInterface(IID_ITunnelControl, reinterpret_cast<void**>(&control))))
        return nullptr;
    return control;
}

bool CTLSConnection::CloseAfterTransact()
{
    if (m_failed)
        return true;
    ITunnelControl* control = InnerControl();
    if (control == nullptr)
        return false;
    bool close = control->CloseAfterTransact();
    control->Release();
    return close;
}

HRESULT CTLSConnection::GetProperties(SECAttribute* attributes)
{
    ITunnelControl* control = InnerControl();
    if (control == nullptr)
        return E_FAIL;
    HRESULT hr = control->GetProperties(attributes);
    control->Release();
    return hr;
}

HRESULT CTLSConnection::SetProperties(SECAttribute* attributes)
{
    ITunnelControl* control = InnerControl();
    if (control == nullptr)
        return E_FAIL;
    HRESULT hr = control->SetProperties(attributes);
    control->Release();
    return hr;
}

}  // namespace ZELK::PSESVC::WEBCLIENT

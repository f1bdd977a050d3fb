#include "https_connection.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qev_trace.h"
#include "sec_commontypes.h"
#include "types_values.h"

namespace kestrin::qevcrypto::https {

namespace {

void Trace(unsigned int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    qev_trace_write(level, "qevcrypto", format, args);
    va_end(args);
}

// libcurl and the libraries it brings keep thread-local data that must not be
// unloaded with this library while the process runs (sanitizers and thread
// exit would read it): they stay loaded once this library is.
void* const s_curlStaysLoaded = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);

void GlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Trim(std::string text)
{
    const char* blanks = " \t\r\n";
    size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// The URL's host without IPv6 brackets; empty when the URL does not parse.
std::string HostOf(const std::string& url)
{
    CURLU* u = curl_url();
    std::string host;
    char* part = nullptr;
    if (u != nullptr && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK
        && curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK && part != nullptr) {
        host = part;
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    curl_free(part);
    curl_url_cleanup(u);
    return host;
}

}  // namespace

HttpsConnection::HttpsConnection(unsigned long timeoutSeconds, std::vector<ossl::X509Ptr> anchors,
                                 std::shared_ptr<const ClientIdentity> identity)
    : m_timeout(timeoutSeconds), m_identity(std::move(identity))
{
    GlobalInit();
    m_curl = curl_easy_init();
    m_verify.anchors = std::move(anchors);
}

HttpsConnection::~HttpsConnection()
{
    if (m_curl != nullptr)
        curl_easy_cleanup(m_curl);
}

HRESULT HttpsConnection::setNameChecks(unsigned int flags)
{
    m_verify.flags = flags;
    return S_OK;
}

HRESULT HttpsConnection::open(const char* url, const char* httpVersion)
{
    if (url == nullptr)
        return E_INVALIDARG;
    if (httpVersion != nullptr && std::strcmp(httpVersion, "1.0") != 0 && std::strcmp(httpVersion, "1.1") != 0)
        return E_INVALIDARG;
    m_url = url;
    m_httpVersion =
        httpVersion != nullptr && std::strcmp(httpVersion, "1.1") == 0 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0;
    m_https = strncasecmp(url, "https://", 8) == 0;
    m_verify.host = HostOf(m_url);
    if (!m_https) {
        Trace(1, "url_connection: only https URLs are served, not %s", url);
        return E_URL_FAILED;
    }
    return S_OK;
}

HRESULT HttpsConnection::addRequestHeader(const char* name, const char* value)
{
    if (name == nullptr || *name == '\0' || value == nullptr || std::strpbrk(name, ":\r\n") != nullptr
        || std::strpbrk(value, "\r\n") != nullptr)
        return E_INVALIDARG;
    m_headers.emplace_back(name, value);
    return S_OK;
}

HRESULT HttpsConnection::setRequestHeader(const char* name, const char* value)
{
    if (name == nullptr || *name == '\0')
        return E_INVALIDARG;
    std::erase_if(m_headers, [name](const auto& h) { return strcasecmp(h.first.c_str(), name) == 0; });
    return value != nullptr ? addRequestHeader(name, value) : S_OK;
}

HRESULT HttpsConnection::setProxy(const char* proxyUrl, const char*, unsigned long, unsigned long)
{
    m_proxy = proxyUrl != nullptr ? Trim(proxyUrl) : std::string();
    if (!m_proxy.empty() && strncasecmp(m_proxy.c_str(), "http://", 7) != 0) {
        m_proxy.clear();
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT HttpsConnection::getHost(SET_OF_String** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (m_verify.host.empty())
        return E_FAIL;
    // List nodes come from the list type, which keeps their reference counts.
    const SEC_TYPE_TABLE* strings = commontypes::TypeTable(SEC_TYPE_SET_OF_String);
    void* node = nullptr;
    HRESULT hr = strings != nullptr ? strings->new_node(&node) : E_FAIL;
    if (FAILED(hr))
        return hr;
    auto* list = static_cast<SET_OF_String*>(node);
    if ((list->element = commontypes::CopyString(m_verify.host.c_str())) == nullptr) {
        strings->free(list);
        return E_OUTOFMEMORY;
    }
    *out = list;
    return S_OK;
}

void HttpsConnection::ClearResponse()
{
    m_body.clear();
    m_bodyTooLong = false;
    m_hasResponse = false;
    m_status.clear();
    m_lines.clear();
    m_linePointers.clear();
}

size_t HttpsConnection::OnBody(char* data, size_t size, size_t count, void* self)
{
    auto* c = static_cast<HttpsConnection*>(self);
    size_t n = size * count;
    if (n > URL_MAX_RESPONSE_BODY - c->m_body.size()) {
        c->m_bodyTooLong = true;
        return 0;
    }
    c->m_body.append(data, n);
    return n;
}

size_t HttpsConnection::OnHeader(char* data, size_t size, size_t count, void* self)
{
    auto* c = static_cast<HttpsConnection*>(self);
    size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        // Each response starts anew: only the final one's lines are kept.
        c->m_lines.clear();
        size_t blank = line.find(' ');
        c->m_status = blank == std::string::npos ? std::string() : Trim(line.substr(blank + 1));
        c->m_hasResponse = true;
    } else if (!line.empty()) {
        c->m_lines.push_back(line);
    }
    return n;
}

CURLcode HttpsConnection::OnSslContext(CURL*, void* sslCtx, void* self)
{
    // TLS begins once the server (or the proxy's tunnel) is connected.
    auto* c = static_cast<HttpsConnection*>(self);
    c->m_connected = true;
    auto* context = static_cast<SSL_CTX*>(sslCtx);
    PrepareContext(context, &c->m_verify);
    if (const ClientIdentity* identity = c->m_identity.get()) {
        if (SSL_CTX_use_certificate(context, identity->certificate.get()) != 1
            || SSL_CTX_use_PrivateKey(context, identity->key.get()) != 1)
            return CURLE_SSL_CERTPROBLEM;
        for (const ossl::X509Ptr& issuer : identity->chain)
            if (SSL_CTX_add1_chain_cert(context, issuer.get()) != 1)
                return CURLE_SSL_CERTPROBLEM;
    }
    return CURLE_OK;
}

HRESULT HttpsConnection::Configure(const OctetString* body, curl_slist** headers)
{
    CURL* h = m_curl;
    curl_easy_reset(h);
    const long seconds = m_timeout == 0 ? 30 : static_cast<long>(m_timeout);
    bool ok = curl_easy_setopt(h, CURLOPT_URL, m_url.c_str()) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_HTTP_VERSION, m_httpVersion) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              // The verify callback checks the name itself, with the flags.
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_CAINFO, nullptr) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, seconds) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_TIMEOUT, seconds) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              // An empty proxy also keeps libcurl from the *_proxy variables.
              curl_easy_setopt(h, CURLOPT_PROXY, m_proxy.c_str()) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, m_proxy.empty() ? 0L : 1L) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_WRITEDATA, this) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader) == CURLE_OK
              && curl_easy_setopt(h, CURLOPT_HEADERDATA, this) == CURLE_OK;
    if (ok && body != nullptr)
        ok = curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK
             && curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->length)) == CURLE_OK
             && curl_easy_setopt(h, CURLOPT_POSTFIELDS,
                                 body->length > 0 ? static_cast<const void*>(body->data) : static_cast<const void*>(""))
                    == CURLE_OK;
    else if (ok)
        ok = curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    // libcurl's own Accept, Content-Type and Expect are left out; ours go in order.
    bool own[3] = {false, false, false};
    const char* suppressed[3] = {"Accept", "Content-Type", "Expect"};
    for (const auto& [name, value] : m_headers) {
        for (int i = 0; i < 3; ++i)
            own[i] = own[i] || strcasecmp(name.c_str(), suppressed[i]) == 0;
        // "Name;" sends a header with an empty value; "Name:" would drop it.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* next = curl_slist_append(*headers, line.c_str());
        if (next == nullptr)
            return E_OUTOFMEMORY;
        *headers = next;
    }
    for (int i = 0; i < 3; ++i)
        if (!own[i]) {
            curl_slist* next = curl_slist_append(*headers, (std::string(suppressed[i]) + ":").c_str());
            if (next == nullptr)
                return E_OUTOFMEMORY;
            *headers = next;
        }
    if (ok)
        ok = curl_easy_setopt(h, CURLOPT_HTTPHEADER, *headers) == CURLE_OK;
    return ok ? S_OK : E_URL_FAILED;
}

HRESULT HttpsConnection::MapFailure(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return E_URL_UNKNOWNHOST;
    case CURLE_OPERATION_TIMEDOUT:
        return m_connected ? E_URL_TIMEOUT : E_URL_CONNECTTIMEOUT;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // Only https is allowed, so this is a reply in no HTTP version.
        return E_URL_SERVERERROR;
    case CURLE_WRITE_ERROR:
        return m_bodyTooLong ? E_URL_SERVERERROR : E_URL_FAILED;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_BAD_CONTENT_ENCODING:
        return m_hasResponse || code != CURLE_RECV_ERROR ? E_URL_SERVERERROR : E_URL_FAILED;
    default:
        break;
    }
    if (m_verify.failure != S_OK)
        return m_verify.failure;
    if (m_verify.alert == SSL_AD_ACCESS_DENIED)
        return E_SSL_ACCESSDENIED;
    return E_URL_FAILED;
}

HRESULT HttpsConnection::sendRequest(const OctetString* body, OctetString** response)
{
    if (response == nullptr)
        return E_POINTER;
    *response = nullptr;
    ClearResponse();
    if (m_curl == nullptr)
        return E_OUTOFMEMORY;
    if (!m_https) {
        Trace(1, "url_connection: only https URLs are served, not %s", m_url.c_str());
        return E_URL_FAILED;
    }
    if (body != nullptr && body->length > 0 && body->data == nullptr)
        return E_INVALIDARG;
    m_verify.failure = S_OK;
    m_verify.alert = -1;
    m_connected = false;
    curl_slist* headers = nullptr;
    HRESULT hr = Configure(body, &headers);
    CURLcode code = CURLE_OK;
    if (SUCCEEDED(hr)) {
        code = curl_easy_perform(m_curl);
        if (code != CURLE_OK)
            hr = MapFailure(code);
    }
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (FAILED(hr)) {
        Trace(3, "url_connection: %s failed: %s (0x%08X)", m_url.c_str(), curl_easy_strerror(code),
              static_cast<unsigned int>(hr));
        ClearResponse();
        return hr;
    }
    for (const std::string& line : m_lines)
        m_linePointers.push_back(line.c_str());
    *response = values::NewOctets(reinterpret_cast<const uint8_t*>(m_body.data()), m_body.size());
    return *response != nullptr ? S_OK : E_OUTOFMEMORY;
}

const char* HttpsConnection::getStatusLine()
{
    return m_hasResponse ? m_status.c_str() : nullptr;
}

const char* const* HttpsConnection::getResponseHeaderLines(unsigned long* count)
{
    if (count != nullptr)
        *count = m_hasResponse ? m_linePointers.size() : 0;
    if (!m_hasResponse)
        return nullptr;
    static const char* const kNone[1] = {nullptr};
    return m_linePointers.empty() ? kNone : m_linePointers.data();
}

const char* HttpsConnection::getResponseHeader(const char* name)
{
    if (name == nullptr || !m_hasResponse)
        return nullptr;
    const size_t n = std::strlen(name);
    for (const std::string& line : m_lines)
        if (line.size() > n && line[n] == ':' && strncasecmp(line.c_str(), name, n) == 0) {
            const char* value = line.c_str() + n + 1;
            while (*value == ' ' || *value == '\t')
                ++value;
            return value;
        }
    return nullptr;
}

}  // namespace kestrin::qevcrypto::https

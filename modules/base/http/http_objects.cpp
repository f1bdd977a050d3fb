// Classes "zelk.webclient.http.request" and "zelk.webclient.http.response" of
// module "zelkbase" over the parser and builder cores.
#include <cstring>

#include "http_request_parser.h"
#include "http_response_builder.h"
#include "module_trace.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_http.h"
#include "zelk_object.h"

namespace kestrin::base::http {

namespace {

HRESULT CopyValue(HRESULT found, const char* value, char** out)
{
    if (FAILED(found))
        return found;
    if (!value) {
        *out = nullptr;
        return S_OK;
    }
    size_t n = std::strlen(value);
    char* copy = static_cast<char*>(sec_malloc(n + 1));
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(copy, value, n + 1);
    *out = copy;
    return S_OK;
}

}  // namespace

class CHTTPRequest : public IHTTPRequest, public CComObjectRoot {
public:
    CHTTPRequest() : parser_(&trace_) {}

    HRESULT parse(unsigned char* data, unsigned long length) override { return parser_.parse(data, length); }
    const char* getMethod() override { return parser_.method(); }
    const char* getURI() override { return parser_.uri(); }
    const char* getPath() override { return parser_.path(); }
    const char* getHTTPVersion() override { return parser_.version(); }
    const char* getBody() override { return reinterpret_cast<const char*>(parser_.body()); }
    HRESULT getBodyBlob(OctetString* out) override
    {
        if (!out)
            return E_INVALIDARG;
        if (!parser_.hasBody())
            return E_FAIL;
        out->length = parser_.bodyLength();
        out->data = const_cast<unsigned char*>(parser_.body());
        return S_OK;
    }
    bool hasBody() override { return parser_.hasBody(); }
    HRESULT getHeaderValue(const char* name, char** out) override
    {
        if (!out)
            return E_FAIL;
        const char* value = nullptr;
        HRESULT found = parser_.header(name, &value);
        return CopyValue(found, value, out);
    }
    HRESULT getQueryString(const char* name, char** out) override
    {
        if (!out)
            return E_FAIL;
        const char* value = nullptr;
        HRESULT found = parser_.query(name, &value);
        return CopyValue(found, value, out);
    }
    int getRefusalStatus() override { return parser_.refusal(); }

    ZELK_BEGIN_INTMAP(CHTTPRequest)
    ZELK_INTMAP_ENTRY(IHTTPRequest)
    ZELK_END_INTMAP()

private:
    ModuleTrace trace_;
    RequestParser parser_;
};

class CHTTPResponse : public IHTTPResponse, public CComObjectRoot {
public:
    CHTTPResponse() { initialised_ = builder_.init(); }

    HRESULT getNetworkBytes(unsigned char** buffer, unsigned long* length) override
    {
        if (!buffer || !length)
            return E_INVALIDARG;
        if (FAILED(initialised_))
            return initialised_;
        size_t size = 0;
        HRESULT hr = builder_.prepare(&size);
        if (FAILED(hr))
            return hr;
        if (!*buffer || *length < size) {
            void* p = sec_realloc(*buffer, size);
            if (!p) {
                sec_free(*buffer);
                *buffer = nullptr;
                return E_OUTOFMEMORY;
            }
            *buffer = static_cast<unsigned char*>(p);
        }
        builder_.write(*buffer);
        *length = size;
        if (trace_.enabled()) {
            // Bodies may carry secrets: the status line and headers only.
            trace_.line("****************** HTTP Response ******************");
            trace_.line("%.*s", static_cast<int>(size - builder_.bodyLength()), reinterpret_cast<const char*>(*buffer));
            trace_.line("HTTP Body: %zu bytes", builder_.bodyLength());
            trace_.line("****************** HTTP Response ******************");
        }
        return S_OK;
    }
    HRESULT setStatus(int code, const char* reason) override
    {
        return FAILED(initialised_) ? initialised_ : builder_.setStatus(code, reason);
    }
    int getStatus() override { return builder_.status(); }
    HRESULT setHTTPVersion(const char* version) override { return builder_.setVersion(version); }
    HRESULT setBody(const char* body) override { return builder_.setBody(body); }
    HRESULT addHeader(const char* name, const char* value) override { return builder_.addHeader(name, value); }

    ZELK_BEGIN_INTMAP(CHTTPResponse)
    ZELK_INTMAP_ENTRY(IHTTPResponse)
    ZELK_END_INTMAP()

private:
    ModuleTrace trace_;
    ResponseBuilder builder_;
    HRESULT initialised_ = S_OK;
};

namespace {

CZELK_CLASS s_request("zelkbase", ZELK_CLASS_HTTP_REQUEST, CFactoryImpl<CHTTPRequest>::New);
CZELK_CLASS s_response("zelkbase", ZELK_CLASS_HTTP_RESPONSE, CFactoryImpl<CHTTPResponse>::New);

}  // namespace

}  // namespace kestrin::base::http

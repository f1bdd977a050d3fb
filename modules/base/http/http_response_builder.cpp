#include "http_response_builder.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace kestrin::base::http {

namespace {

struct KnownStatus {
    int code;
    const char* text;
};

const KnownStatus s_known_stati[] = {
    {100, "continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {416, "Requested range not satisfiable"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "HTTP Version not supported"},
    {0, nullptr},
};

// CR or LF in a status line or header would split the response.
bool BreaksLine(const char* text)
{
    return std::strpbrk(text, "\r\n") != nullptr;
}

}  // namespace

const char* KnownStatusText(int code)
{
    for (const KnownStatus* s = s_known_stati; s->code; ++s)
        if (s->code == code)
            return s->text;
    return nullptr;
}

HRESULT ResponseBuilder::init()
{
    HRESULT hr = version_.assign("HTTP/1.1");
    return SUCCEEDED(hr) ? setStatus(200, nullptr) : hr;
}

HRESULT ResponseBuilder::setStatus(int code, const char* reason)
{
    if (code > 1000)
        return E_FAIL;
    if (!reason)
        reason = KnownStatusText(code);
    if (!reason)
        reason = "";
    if (BreaksLine(reason))
        return E_FAIL;
    char number[16];
    int n = std::snprintf(number, sizeof number, "%d ", code);
    HRESULT hr = statusText_.assignJoined(number, static_cast<size_t>(n), reason, std::strlen(reason));
    if (FAILED(hr))
        return hr;
    code_ = code;
    return S_OK;
}

HRESULT ResponseBuilder::setVersion(const char* version)
{
    if (!version || BreaksLine(version))
        return E_FAIL;
    return version_.assign(version);
}

HRESULT ResponseBuilder::setBody(const char* body)
{
    if (!body || !*body) {
        body_.reset();
        return S_OK;
    }
    return body_.assign(body);
}

HRESULT ResponseBuilder::addHeader(const char* name, const char* value)
{
    if (!name || !value || BreaksLine(name) || BreaksLine(value))
        return E_FAIL;
    const char* nb = name;
    const char* ne = name + std::strlen(name);
    const char* vb = value;
    const char* ve = value + std::strlen(value);
    Trim(nb, ne);
    Trim(vb, ve);
    return headers_.append(nb, static_cast<size_t>(ne - nb), vb, static_cast<size_t>(ve - vb), true);
}

HRESULT ResponseBuilder::prepare(size_t* size)
{
    char length[24];
    int n = std::snprintf(length, sizeof length, "%zu", body_.length());
    HRESULT hr = headers_.find("Content-Length")
                     ? headers_.setUpper("Content-Length", 14, length, static_cast<size_t>(n), true)
                     : headers_.append("Content-Length", 14, length, static_cast<size_t>(n), true);
    if (FAILED(hr))
        return hr;
    size_t total = version_.length() + 1 + statusText_.length() + 2;
    for (size_t i = 0; i < headers_.size(); ++i)
        total += std::strlen(headers_[i].name) + 2 + std::strlen(headers_[i].value) + 2;
    total += 2 + body_.length();
    *size = total;
    return S_OK;
}

void ResponseBuilder::write(unsigned char* out) const
{
    auto put = [&out](const char* s, size_t n) {
        std::memcpy(out, s, n);
        out += n;
    };
    put(version_.get(), version_.length());
    put(" ", 1);
    put(statusText_.get(), statusText_.length());
    put("\r\n", 2);
    for (size_t i = 0; i < headers_.size(); ++i) {
        put(headers_[i].name, std::strlen(headers_[i].name));
        put(": ", 2);
        put(headers_[i].value, std::strlen(headers_[i].value));
        put("\r\n", 2);
    }
    put("\r\n", 2);
    if (body_.length())
        put(body_.get(), body_.length());
}

}  // namespace kestrin::base::http

// Builder of one HTTP response: status line, headers in order of addition,
// Content-Length and body, serialised into one byte buffer.
#pragma once

#include <cstddef>

#include "http_text.h"
#include "zelk_result.h"

namespace kestrin::base::http {

// The reason phrase of a known status code, or nullptr.
const char* KnownStatusText(int code);

class ResponseBuilder {
public:
    ResponseBuilder() = default;
    ResponseBuilder(const ResponseBuilder&) = delete;
    ResponseBuilder& operator=(const ResponseBuilder&) = delete;

    // Starts as "HTTP/1.1", 200 "OK", no headers, no body.
    HRESULT init();

    // A code above 1000 is refused; a null reason takes the known text, if any.
    HRESULT setStatus(int code, const char* reason);
    int status() const { return code_; }
    const char* statusText() const { return statusText_.get(); }
    HRESULT setVersion(const char* version);
    // null or "" means no body.
    HRESULT setBody(const char* body);
    // Both texts are trimmed; duplicates are kept in order.
    HRESULT addHeader(const char* name, const char* value);

    // Sets the Content-Length header to the body's length (replacing one set
    // before) and answers the size of the serialised response.
    HRESULT prepare(size_t* size);
    // Writes exactly the size that prepare() answered.
    void write(unsigned char* out) const;

    const NameValueList& headers() const { return headers_; }
    size_t bodyLength() const { return body_.length(); }

private:
    Text version_;
    Text statusText_;
    int code_ = 0;
    NameValueList headers_;
    Text body_;
};

}  // namespace kestrin::base::http

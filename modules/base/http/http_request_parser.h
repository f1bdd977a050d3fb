// Incremental parser of one HTTP/1.x request: fed the connection's bytes as
// they arrive, it keeps the request line, the query parameters, the headers
// "Referer" and "Origin", the Content-Length and exactly that many body bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http_text.h"
#include "http_trace.h"
#include "json/byte_buffer.h"
#include "zelk_result.h"

namespace kestrin::base::http {

class RequestParser {
public:
    // Longest line (without its CR LF) and longest body accepted.
    static constexpr size_t kMaxLine = 1024;
    static constexpr uint64_t kMaxBody = 0x100000;

    explicit RequestParser(ParseTrace* trace = nullptr) : trace_(trace) {}
    RequestParser(const RequestParser&) = delete;
    RequestParser& operator=(const RequestParser&) = delete;

    // 0 complete, 1 more bytes needed, 0x80004005 refused (refusal() tells the
    // status to answer), 0x80000003 without bytes, 0x8007000E out of memory.
    // An object parses one request: once it completed or refused, it refuses.
    HRESULT parse(const unsigned char* data, size_t length);

    // The HTTP status that answers a refused request (400, 413 or 414); 400
    // also for a request that parsed but whose framing or headers other
    // servers may read differently (Transfer-Encoding, a doubtful or repeated
    // Content-Length, a folded line, a lone CR or LF, a space before a
    // header's colon, an unknown method); 0 otherwise.
    int refusal() const { return refusal_ ? refusal_ : (ambiguous_ ? 400 : 0); }

    const char* method() const { return method_.get(); }
    const char* uri() const { return uri_.get(); }
    const char* path() const { return path_.get(); }
    const char* version() const { return version_.get(); }
    bool hasBody() const { return hasBody_; }
    // NUL-terminated; the length does not count the NUL.
    const unsigned char* body() const { return hasBody_ ? body_.data() : nullptr; }
    size_t bodyLength() const { return hasBody_ ? body_.size() : 0; }
    uint64_t contentLength() const { return contentLength_; }

    // S_OK and the stored value (nullptr when the name came without one), or
    // E_FAIL when the name was not stored. Names match without regard to case.
    HRESULT header(const char* name, const char** value) const { return lookup(headers_, name, value); }
    HRESULT query(const char* name, const char** value) const { return lookup(query_, name, value); }
    const NameValueList& queryList() const { return query_; }
    const NameValueList& headerList() const { return headers_; }

private:
    enum class State { Header, Body, Complete, Refused };

    HRESULT refuse(int status);
    void ambiguous(const char* why);
    void checkContentLength(const char* value, size_t length);
    HRESULT parseRequestLine(const char* line, const char* end);
    HRESULT parseHeaderLine(const char* line, const char* end);
    HRESULT parseURI();
    HRESULT parseBody(size_t pos);
    void traceRequest();
    static HRESULT lookup(const NameValueList& list, const char* name, const char** value);

    ParseTrace* trace_;
    ByteBuffer buffer_;
    State state_ = State::Header;
    bool requestLineSeen_ = false;
    int refusal_ = 0;
    bool ambiguous_ = false;
    bool lengthSeen_ = false;
    uint64_t firstLength_ = 0;
    Text method_;
    Text uri_;
    Text path_;
    Text version_;
    NameValueList query_;
    NameValueList headers_;
    uint64_t contentLength_ = 0;
    bool hasBody_ = false;
    ByteBuffer body_;
};

}  // namespace kestrin::base::http

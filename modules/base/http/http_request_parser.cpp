#include "http_request_parser.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "json/json_chars.h"

namespace kestrin::base::http {

namespace {

using json::JSON_CHAR_CLASS;

const char* const kSupportedMethods[] = {"OPTIONS", "GET",   "HEAD",    "POST", "PUT",
                                         "DELETE",  "TRACE", "CONNECT", nullptr};
const char* const kHeaderFilter[] = {"Referer", "Origin"};

class NullTrace : public ParseTrace {
public:
    bool enabled() const override { return false; }
    void vline(const char*, va_list) override {}
};
NullTrace g_nullTrace;

int HexValue(unsigned char b)
{
    if (b >= '0' && b <= '9')
        return b - '0';
    if (b >= 'a' && b <= 'f')
        return b - 'a' + 10;
    if (b >= 'A' && b <= 'F')
        return b - 'A' + 10;
    return -1;
}

void SkipSpace(const char*& p, const char* end)
{
    while (p < end && JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::SPACE, *p))
        ++p;
}

// Decodes "%XX" and "+" in place; false (text untouched) on a malformed escape.
bool UrlDecode(char* text, size_t length, size_t* decodedLength)
{
    for (size_t i = 0; i < length; ++i)
        if (text[i] == '%' && (i + 2 >= length || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0))
            return false;
    size_t w = 0;
    for (size_t r = 0; r < length; ++r) {
        char c = text[r];
        if (c == '%') {
            c = static_cast<char>(HexValue(text[r + 1]) * 16 + HexValue(text[r + 2]));
            r += 2;
        } else if (c == '+') {
            c = ' ';
        }
        text[w++] = c;
    }
    text[w] = 0;
    *decodedLength = w;
    return true;
}

}  // namespace

HRESULT RequestParser::lookup(const NameValueList& list, const char* name, const char** value)
{
    if (!name || !value)
        return E_FAIL;
    const NameValue* nv = list.find(name);
    if (!nv)
        return E_FAIL;
    *value = nv->value;
    return S_OK;
}

HRESULT RequestParser::refuse(int status)
{
    state_ = State::Refused;
    refusal_ = status;
    buffer_.clear();
    return E_FAIL;
}

void RequestParser::ambiguous(const char* why)
{
    ParseTrace& t = trace_ ? *trace_ : g_nullTrace;
    t.line("Ambiguous HTTP request: %s", why);
    ambiguous_ = true;
}

// Only plain decimal digits, and every Content-Length alike, frame a body the
// same way for every reader of the request.
void RequestParser::checkContentLength(const char* value, size_t length)
{
    bool digits = length > 0;
    uint64_t number = 0;
    for (size_t i = 0; i < length && digits; ++i) {
        unsigned digit = static_cast<unsigned char>(value[i]) - static_cast<unsigned>('0');
        digits = digit <= 9;
        number = number > (UINT64_MAX - 9) / 10 ? UINT64_MAX : number * 10 + digit;
    }
    if (!digits)
        ambiguous("Content-Length is not a decimal number");
    else if (lengthSeen_ && number != firstLength_)
        ambiguous("Content-Length given twice with different values");
    if (!lengthSeen_) {
        lengthSeen_ = true;
        firstLength_ = digits ? number : UINT64_MAX;
    } else if (!digits) {
        firstLength_ = UINT64_MAX;
    }
}

HRESULT RequestParser::parse(const unsigned char* data, size_t length)
{
    if (!data || !length)
        return E_INVALIDARG;
    ParseTrace& t = trace_ ? *trace_ : g_nullTrace;
    t.line("CHTTPRequest::parse %zu bytes (header: %i)", length, state_ != State::Header);
    if (state_ == State::Complete || state_ == State::Refused)
        return E_FAIL;
    HRESULT hr = buffer_.append(data, length);
    if (FAILED(hr))
        return hr;
    t.line("HTTP request unfinished bytes count: %zu", buffer_.size());

    if (state_ == State::Body)
        return parseBody(0);

    const char* start = reinterpret_cast<const char*>(buffer_.data());
    const char* end = start + buffer_.size();
    if (t.enabled()) {
        // Only the header part: bodies may carry secrets.
        const char* stop = static_cast<const char*>(memmem(start, buffer_.size(), "\r\n\r\n", 4));
        size_t shown = stop ? static_cast<size_t>(stop - start) + 4 : buffer_.size();
        t.line("****** HTTP Request Begin (RAW) ******");
        t.line("%.*s", static_cast<int>(shown), start);
        t.line("******  HTTP Request End (RAW)  ******");
    }

    const char* pos = start;
    for (;;) {
        if (pos >= end) {
            buffer_.clear();
            return S_FALSE;
        }
        // A line ends at CR LF; a lone LF is part of the line. The cap holds for
        // what is kept waiting for its line end: a longer line that came whole
        // (long cookies, referers) is already here and is taken.
        const char* lineEnd = static_cast<const char*>(memmem(pos, static_cast<size_t>(end - pos), "\r\n", 2));
        if (!lineEnd) {
            size_t pending = static_cast<size_t>(end - pos);
            size_t content = pending - (end[-1] == '\r' ? 1 : 0);
            if (content > kMaxLine) {
                t.line("[BLOCK] Request blocked. Headerline too large: %zu bytes (accepted: %zu bytes)", content,
                       kMaxLine);
                return refuse(requestLineSeen_ ? 400 : 414);
            }
            buffer_.consume(static_cast<size_t>(pos - start));
            return S_FALSE;
        }
        if (lineEnd == pos) {
            state_ = State::Body;
            t.line("CHTTPRequest::header finished");
            return parseBody(static_cast<size_t>(pos + 2 - start));
        }
        // A NUL inside a line would cut its texts short.
        size_t lineLength = static_cast<size_t>(lineEnd - pos);
        if (std::memchr(pos, 0, lineLength))
            return refuse(400);
        // Other readers end a line at a lone CR or LF, or join a line that
        // begins with a blank to the one before: they would see other headers.
        if (std::memchr(pos, '\r', lineLength) || std::memchr(pos, '\n', lineLength))
            ambiguous("a lone CR or LF inside a line");
        if (requestLineSeen_ && (*pos == ' ' || *pos == '\t'))
            ambiguous("a folded header line");
        hr = requestLineSeen_ ? parseHeaderLine(pos, lineEnd) : parseRequestLine(pos, lineEnd);
        if (FAILED(hr))
            return hr;
        pos = lineEnd + 2;
    }
}

HRESULT RequestParser::parseRequestLine(const char* line, const char* end)
{
    ParseTrace& t = trace_ ? *trace_ : g_nullTrace;
    const char* p = line;
    SkipSpace(p, end);
    const char* sp = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
    if (!sp)
        return refuse(400);
    requestLineSeen_ = true;
    HRESULT hr = method_.assign(p, static_cast<size_t>(sp - p));
    if (FAILED(hr))
        return hr;
    UpperCase(method_.data());
    bool known = false;
    for (const char* const* m = kSupportedMethods; *m; ++m)
        if (std::strcmp(*m, method_.get()) == 0)
            known = true;
    // An unknown method leaves the request without a target; the caller rejects
    // it. Its framing is unknown too: what follows may not be headers.
    if (!known) {
        ambiguous("unknown method");
        return S_OK;
    }

    p = sp + 1;
    sp = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
    if (!sp || sp == p || sp + 1 == end)
        return refuse(400);
    // "%00" would put a NUL into the decoded target and cut it short.
    if (memmem(p, static_cast<size_t>(sp - p), "%00", 3))
        return refuse(400);
    hr = uri_.assign(p, static_cast<size_t>(sp - p));
    if (FAILED(hr))
        return hr;
    size_t decoded;
    char* text = uri_.data();
    if (UrlDecode(text, uri_.length(), &decoded)) {
        hr = uri_.assign(text, decoded);
        if (FAILED(hr))
            return hr;
    }
    hr = parseURI();
    if (FAILED(hr))
        return hr;
    hr = version_.assign(sp + 1, static_cast<size_t>(end - sp - 1));
    if (FAILED(hr))
        return hr;
    t.line("Request String parsed: method: %s, uri: %s, protocol version: %s", method_.get(), uri_.get(),
           version_.get());
    return S_OK;
}

HRESULT RequestParser::parseURI()
{
    ParseTrace& t = trace_ ? *trace_ : g_nullTrace;
    const char* u = uri_.get();
    const char* end = u + uri_.length();
    const char* q = static_cast<const char*>(std::memchr(u, '?', uri_.length()));
    HRESULT hr = path_.assign(u, static_cast<size_t>((q ? q : end) - u));
    if (FAILED(hr) || !q)
        return hr;
    const char* piece = q + 1;
    while (piece <= end) {
        const char* amp = static_cast<const char*>(std::memchr(piece, '&', static_cast<size_t>(end - piece)));
        const char* pieceEnd = amp ? amp : end;
        if (pieceEnd > piece) {
            t.line("Query string parsed: %.*s", static_cast<int>(pieceEnd - piece), piece);
            const char* eq = static_cast<const char*>(std::memchr(piece, '=', static_cast<size_t>(pieceEnd - piece)));
            const char* nb = piece;
            const char* ne = eq ? eq : pieceEnd;
            Trim(nb, ne);
            const char* vb = eq ? eq + 1 : pieceEnd;
            const char* ve = pieceEnd;
            Trim(vb, ve);
            hr = query_.setUpper(nb, static_cast<size_t>(ne - nb), vb, static_cast<size_t>(ve - vb), eq != nullptr);
            if (FAILED(hr))
                return hr;
        }
        if (!amp)
            break;
        piece = amp + 1;
    }
    return S_OK;
}

HRESULT RequestParser::parseHeaderLine(const char* line, const char* end)
{
    ParseTrace& t = trace_ ? *trace_ : g_nullTrace;
    const char* p = line;
    SkipSpace(p, end);
    const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(end - p)));
    const char* nb = p;
    const char* ne = colon ? colon : end;
    const char* vb = colon ? colon + 1 : end;
    const char* ve = end;
    Trim(nb, ne);
    Trim(vb, ve);
    if (ne == nb)
        return S_OK;
    if (colon && ne != colon)
        ambiguous("a blank before a header's colon");
    size_t nameLength = static_cast<size_t>(ne - nb);
    // This parser does not decode chunked bodies: their bytes would be read as
    // the next request.
    if (nameLength == 17 && strncasecmp(nb, "Transfer-Encoding", 17) == 0)
        ambiguous("Transfer-Encoding");
    bool kept = false;
    for (const char* h : kHeaderFilter) {
        if (std::strlen(h) == nameLength && strncasecmp(h, nb, nameLength) == 0) {
            HRESULT hr = headers_.setUpper(nb, nameLength, vb, static_cast<size_t>(ve - vb), colon != nullptr);
            if (FAILED(hr))
                return hr;
            kept = true;
        }
    }
    bool isLength = nameLength == 14 && strncasecmp(nb, "Content-Length", 14) == 0;
    // Other values stay out of the trace: they may carry credentials.
    if (kept || isLength)
        t.line("HTTP Header: %.*s = %.*s", static_cast<int>(nameLength), nb, static_cast<int>(ve - vb), vb);
    else
        t.line("HTTP Header: %.*s", static_cast<int>(nameLength), nb);
    if (!isLength)
        return S_OK;

    checkContentLength(vb, static_cast<size_t>(ve - vb));
    Text value;
    HRESULT hr = value.assign(vb, static_cast<size_t>(ve - vb));
    if (FAILED(hr))
        return hr;
    char* stop = nullptr;
    errno = 0;
    long long n = value.length() ? std::strtoll(value.get(), &stop, 10) : 0;
    if (n != 0 && stop != value.get() + value.length()) {
        t.line("Failed to parse HTTP request Content-Length: %s", value.get());
        n = 0;
    }
    if (n < 0)
        return refuse(400);
    contentLength_ = static_cast<uint64_t>(n);
    t.line("HTTP request Content-Length: %llu", static_cast<unsigned long long>(contentLength_));
    return S_OK;
}

HRESULT RequestParser::parseBody(size_t pos)
{
    ParseTrace& t = trace_ ? *trace_ : g_nullTrace;
    size_t n = buffer_.size() - pos;
    if (contentLength_ == 0) {
        state_ = State::Complete;
        buffer_.clear();
        traceRequest();
        return S_OK;
    }
    if (contentLength_ > kMaxBody) {
        t.line("[BLOCK] Request blocked. Body too large: %llu bytes (accepted: %llu bytes)",
               static_cast<unsigned long long>(contentLength_), static_cast<unsigned long long>(kMaxBody));
        return refuse(413);
    }
    t.line("ContentLength %llu bytes (len: %zu bytes)", static_cast<unsigned long long>(contentLength_), n);
    if (n < contentLength_) {
        buffer_.consume(pos);
        return S_FALSE;
    }
    // Exactly Content-Length bytes make the body; anything after them is not part of it.
    HRESULT hr = body_.append(buffer_.data() + pos, static_cast<size_t>(contentLength_));
    if (SUCCEEDED(hr))
        hr = body_.terminate();
    if (FAILED(hr))
        return hr;
    hasBody_ = true;
    state_ = State::Complete;
    buffer_.clear();
    traceRequest();
    return S_OK;
}

void RequestParser::traceRequest()
{
    if (!trace_ || !trace_->enabled())
        return;
    ParseTrace& t = *trace_;
    auto text = [](const char* s) { return s ? s : "<null>"; };
    t.line("****************** HTTP Request ******************");
    t.line("HTTP method: %s", text(method_.get()));
    t.line("HTTP uri: %s", text(uri_.get()));
    t.line("HTTP path: %s", text(path_.get()));
    t.line("HTTP query:");
    for (size_t i = 0; i < query_.size(); ++i)
        t.line("%s : %s : %s", "query", query_[i].name, text(query_[i].value));
    t.line("HTTP protocol: %s", text(version_.get()));
    t.line("HTTP headers:");
    for (size_t i = 0; i < headers_.size(); ++i)
        t.line("%s : %s : %s", "header", headers_[i].name, text(headers_[i].value));
    // Bodies may carry secrets: only their size is traced.
    if (hasBody_)
        t.line("HTTP Body: %zu bytes", body_.size());
    else
        t.line("HTTP Body: <empty>");
    t.line("****************** HTTP Request ******************");
}

}  // namespace kestrin::base::http

// HTTP request parser: the input is cut into chunks whose sizes come from its
// first bytes; the same bytes fed whole must give the same answer and parts,
// unless a line is longer than the cap (taken when it arrives whole, refused
// when it has to wait for its line end).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_request_parser.h"
#include "http/http_response_builder.h"

using kestrin::base::http::RequestParser;
using kestrin::base::http::ResponseBuilder;

namespace {

std::string Summary(const RequestParser& p, HRESULT hr)
{
    auto t = [](const char* s) { return s ? std::string(s) : std::string("<null>"); };
    std::string s = std::to_string(hr) + t(p.method()) + t(p.uri()) + t(p.path()) + t(p.version());
    for (size_t i = 0; i < p.queryList().size(); ++i)
        s += t(p.queryList()[i].name) + t(p.queryList()[i].value);
    for (size_t i = 0; i < p.headerList().size(); ++i)
        s += t(p.headerList()[i].name) + t(p.headerList()[i].value);
    if (p.hasBody())
        s.append(reinterpret_cast<const char*>(p.body()), p.bodyLength());
    return s + std::to_string(p.refusal());
}

bool HasLongLine(const uint8_t* bytes, size_t length)
{
    size_t run = 0;
    for (size_t i = 0; i < length; ++i) {
        bool lineEnd = bytes[i] == '\r' && i + 1 < length && bytes[i + 1] == '\n';
        run = lineEnd ? 0 : run + 1;
        if (run > RequestParser::kMaxLine)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    size_t cuts = data[0] % 8;
    const uint8_t* sizes = data + 1;
    size_t skip = 1 + (cuts < size - 1 ? cuts : size - 1);
    const uint8_t* bytes = data + skip;
    size_t length = size - skip;
    if (!length)
        return 0;

    RequestParser whole;
    HRESULT expected = whole.parse(bytes, length);

    RequestParser chunked;
    HRESULT hr = S_FALSE;
    size_t pos = 0;
    for (size_t i = 0; i <= cuts && pos < length && hr == S_FALSE; ++i) {
        size_t n = i < cuts && i < skip - 1 ? 1 + sizes[i] : length - pos;
        if (n > length - pos)
            n = length - pos;
        hr = chunked.parse(bytes + pos, n);
        pos += n;
    }
    if (hr == S_FALSE && pos < length)
        hr = chunked.parse(bytes + pos, length - pos);
    if (!HasLongLine(bytes, length) && Summary(whole, expected) != Summary(chunked, hr))
        std::abort();

    if (expected == S_OK && whole.path()) {
        ResponseBuilder r;
        if (r.init() == S_OK && r.addHeader("X-Path", whole.path()) == S_OK) {
            size_t n = 0;
            if (r.prepare(&n) == S_OK) {
                std::vector<unsigned char> out(n);
                r.write(out.data());
            }
        }
    }
    return 0;
}

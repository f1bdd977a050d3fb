// URL parser and origin matcher: the input holds a URL and a pattern
// separated by the first newline.
#include <cstdlib>
#include <cstring>
#include <string>

#include "url/url_parser.h"

using kestrin::base::url::Match;
using kestrin::base::url::UrlParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nl = input.find('\n');
    std::string text = input.substr(0, nl);
    std::string pattern = nl == std::string::npos ? std::string() : input.substr(nl + 1);

    UrlParser u;
    bool valid = SUCCEEDED(u.parse(text.c_str()));
    if (valid != u.isValid())
        std::abort();
    if (valid && (u.prefixLength() > std::strlen(text.c_str()) || u.port() <= 0 || u.port() > 65535))
        std::abort();
    // User information never passes for the host.
    if (valid && std::memchr(text.c_str(), '@', u.prefixLength()))
        std::abort();
    UrlParser p;
    p.parse(pattern.c_str());
    if (u.sameOrigin(p) != p.sameOrigin(u))
        std::abort();
    Match m = u.matchPattern(pattern.c_str());
    if (m == Match::Yes && (!valid || !u.isHTTPS()))
        std::abort();
    return 0;
}

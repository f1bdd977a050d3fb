// The web adapter's question which profile a page means: an origin, a profile
// id and an enrolment address (separated by the first two newlines) through
// the URL parser's origin match and the profile-id comparison. The runtime
// and the string module are compiled in. Checks that a match needs a valid
// https origin and an address that carries "?profile=".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tokens/profile_match.h"
#include "url/url_parser.h"
#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_object.h"
#include "zelk_strings.h"

namespace {

using kestrin::base::url::Match;
using kestrin::base::url::UrlParser;

// The parser of "zelk.webclient.url.parser" without its trace.
class Origin : public IURLParser {
public:
    HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    HRESULT parse(const char* text) override { return core.parse(text); }
    int getPort() override { return core.port(); }
    bool isHTTPS() override { return core.isHTTPS(); }
    bool isValid() override { return core.isValid(); }
    unsigned long getLength() override { return core.prefixLength(); }
    bool cmp(const char*) override { return false; }
    bool cmp(IURLParser*) override { return false; }
    bool pattern_match(const char* pattern) override { return core.matchPattern(pattern) == Match::Yes; }

    UrlParser core;
};

bool Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    return CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) == S_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool bound = Bind();
    if (!bound)
        abort();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t first = input.find('\n');
    const size_t second = first == std::string::npos ? std::string::npos : input.find('\n', first + 1);
    const std::string host = input.substr(0, first);
    const std::string id = first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
    const std::string url = second == std::string::npos ? "" : input.substr(second + 1);
    Origin origin;
    origin.parse(host.c_str());
    if (ZELK::PSESVC::ProfileURLMatches(&origin, url.c_str(), id.c_str())
        && (!origin.isValid() || !origin.isHTTPS() || std::strstr(url.c_str(), "?profile=") == nullptr))
        abort();
    return 0;
}

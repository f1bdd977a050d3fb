// Class "zelk.webclient.url.parser" of module "zelkbase" over the URL core.
#include "http/module_trace.h"
#include "url_parser.h"
#include "zelk_class.h"
#include "zelk_object.h"
#include "zelk_trace.h"
#include "zelk_url.h"

namespace kestrin::base::url {

class URLParser : public IURLParser, public CComObjectRoot {
public:
    HRESULT parse(const char* text) override
    {
        SECTRACE_Fkt_IMPL<HRESULT> fkt("%8x", "URLParser::parse");
        return fkt.result = core_.parse(text);
    }

    int getPort() override
    {
        SECTRACE_Fkt_IMPL<int> fkt("%d", "URLParser::getPort");
        return fkt.result = core_.port();
    }

    bool isHTTPS() override
    {
        SECTRACE_Fkt_IMPL<int> fkt("%d", "URLParser::isHTTPS");
        bool https = core_.isHTTPS();
        fkt.result = https;
        return https;
    }

    bool isValid() override
    {
        SECTRACE_Fkt_IMPL<int> fkt("%d", "URLParser::isValid");
        bool valid = core_.isValid();
        fkt.result = valid;
        return valid;
    }

    unsigned long getLength() override
    {
        SECTRACE_Fkt_IMPL<unsigned long> fkt("%lu", "URLParser::getLength");
        return fkt.result = core_.prefixLength();
    }

    bool cmp(const char* text) override
    {
        SECTRACE_Fkt_IMPL<int> fkt("%d", "URLParser::cmp");
        UrlParser other;
        other.parse(text);
        bool same = core_.sameOrigin(other);
        fkt.result = same;
        return same;
    }

    bool cmp(IURLParser* other) override
    {
        SECTRACE_Fkt_IMPL<int> fkt("%d", "URLParser::cmp");
        // Only parsers of this class can be compared host by host.
        URLParser* same = other ? dynamic_cast<URLParser*>(other) : nullptr;
        bool equal = same && core_.sameOrigin(same->core_);
        fkt.result = equal;
        return equal;
    }

    bool pattern_match(const char* pattern) override
    {
        SECTRACE_Fkt_IMPL<int> fkt("%d", "URLParser::pattern_match");
        bool match = matchTraced(pattern);
        fkt.result = match;
        return match;
    }

    ZELK_BEGIN_INTMAP(URLParser)
    ZELK_INTMAP_ENTRY(IURLParser)
    ZELK_END_INTMAP()

private:
    bool matchTraced(const char* pattern)
    {
        Match m = core_.matchPattern(pattern);
        if (m == Match::Yes)
            return true;
        const char* host = core_.host() ? core_.host() : "";
        const char* why = nullptr;
        switch (m) {
        case Match::NeedTwoParts:
            why = "Need two domain name parts for wildcard hostname ";
            break;
        case Match::InnerWildcard:
            why = "Wildcard is between hostname and top level domain, thats not supported";
            break;
        case Match::PartsDiffer:
            why = "Pattern parts does not match";
            break;
        case Match::LengthDiffers:
            why = "Pattern does not match";
            break;
        default:
            break;
        }
        if (why)
            trace_.line("Bad Pattern match: [%s] != [%s]. %s", host, pattern, why);
        return false;
    }

    ModuleTrace trace_;
    UrlParser core_;
};

namespace {

CZELK_CLASS s_urlParser("zelkbase", ZELK_CLASS_URL_PARSER, CFactoryImpl<URLParser>::New);

}  // namespace

}  // namespace kestrin::base::url

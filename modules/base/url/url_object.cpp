// Class "zelk.webclient.url.parser" of module "zelkbase" over the URL core.
#include "http/module_trace.h"
#include "url_parser.h"
#include "zelk_class.h"
#include "zelk_object.h"
#include "zelk_url.h"

namespace zelk::url {

class URLParser : public IURLParser, public CComObjectRoot {
public:
    HRESULT parse(const char* text) override { return core_.parse(text); }
    int getPort() override { return core_.port(); }
    bool isHTTPS() override { return core_.isHTTPS(); }
    bool isValid() override { return core_.isValid(); }
    unsigned long getLength() override { return core_.prefixLength(); }

    bool cmp(const char* text) override
    {
        UrlParser other;
        other.parse(text);
        return core_.sameOrigin(other);
    }

    bool cmp(IURLParser* other) override
    {
        if (!other)
            return false;
        // Only parsers of this class can be compared host by host.
        URLParser* same = dynamic_cast<URLParser*>(other);
        return same && core_.sameOrigin(same->core_);
    }

    bool pattern_match(const char* pattern) override
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

    ZELK_BEGIN_INTMAP(URLParser)
    ZELK_INTMAP_ENTRY(IURLParser)
    ZELK_END_INTMAP()

private:
    ModuleTrace trace_;
    UrlParser core_;
};

namespace {

CZELK_CLASS s_urlParser("zelkbase", ZELK_CLASS_URL_PARSER, CFactoryImpl<URLParser>::New);

}  // namespace

}  // namespace zelk::url

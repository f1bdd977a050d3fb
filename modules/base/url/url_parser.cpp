#include "url_parser.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace kestrin::base::url {

void UrlParser::reset()
{
    *this = UrlParser();
}

HRESULT UrlParser::parse(const char* text)
{
    reset();
    if (!text)
        return E_FAIL;
    text_ = text;
    size_t length = std::strlen(text);
    const char* p;
    if (length > 7 && std::strncmp(text, "http://", 7) == 0) {
        protocol_ = Protocol::HTTP;
        port_ = 80;
        p = text + 7;
    } else if (length > 8 && std::strncmp(text, "https://", 8) == 0) {
        protocol_ = Protocol::HTTPS;
        port_ = 443;
        p = text + 8;
    } else {
        return E_FAIL;
    }
    host_ = p;
    const char* end = text + length;
    const char* stop = p;
    while (stop < end && *stop != ':' && *stop != '/')
        ++stop;
    hostLength_ = static_cast<size_t>(stop - host_);
    if (stop == end) {
        pathStart_ = end;
    } else if (*stop == '/') {
        pathStart_ = stop;
    } else {
        const char* portText = stop + 1;
        const char* slash = portText;
        while (slash < end && *slash != '/')
            ++slash;
        handlePort(portText, slash);
        pathStart_ = slash;
    }
    userInfo_ = std::memchr(host_, '@', static_cast<size_t>(pathStart_ - host_)) != nullptr;
    return isValid() ? S_OK : E_FAIL;
}

// Like atoi over 1 to 5 bytes: leading blanks, a sign, digits up to the first
// other byte. Anything outside 0..65535 leaves no port.
void UrlParser::handlePort(const char* begin, const char* end)
{
    size_t n = static_cast<size_t>(end - begin);
    port_ = 0;
    if (n == 0 || n > 5)
        return;
    const char* p = begin;
    while (p < end && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    long value = 0;
    while (p < end && *p >= '0' && *p <= '9')
        value = value * 10 + (*p++ - '0');
    if (negative)
        value = -value;
    port_ = (value < 0 || value > 65535) ? 0 : static_cast<int>(value);
}

size_t UrlParser::prefixLength() const
{
    return isValid() ? static_cast<size_t>(pathStart_ - text_) : static_cast<size_t>(-1);
}

bool UrlParser::sameOrigin(const UrlParser& other) const
{
    if (!isValid() || !other.isValid())
        return false;
    if (&other == this)
        return true;
    return port_ == other.port_ && protocol_ == other.protocol_ && hostLength_ == other.hostLength_
           && strncasecmp(host_, other.host_, hostLength_) == 0;
}

Match UrlParser::matchPattern(const char* pattern) const
{
    if (!pattern || !isValid() || !isHTTPS())
        return Match::Unusable;
    UrlParser pat;
    if (FAILED(pat.parse(pattern)))
        return Match::Unusable;
    if (pat.protocol_ != protocol_ || pat.port_ != port_)
        return Match::Unusable;

    const char* ph = pat.host_;
    const char* pe = ph + pat.hostLength_;
    const char* uh = host_;
    const char* ue = uh + hostLength_;
    if (pat.hostLength_ > 2 && ph[0] == '*') {
        if (ph[1] != '.' || !std::memchr(ph + 2, '.', static_cast<size_t>(pe - ph - 2)))
            return Match::NeedTwoParts;
        ph += 1;
        // The wildcard stands for exactly one non-empty label.
        const char* dot = static_cast<const char*>(std::memchr(uh, '.', hostLength_));
        if (dot == uh)
            return Match::PartsDiffer;
        uh = dot ? dot : ue;
    }
    for (; ph < pe && uh < ue; ++ph, ++uh) {
        if (*ph == '*')
            return Match::InnerWildcard;
        if (std::tolower(static_cast<unsigned char>(*ph)) != std::tolower(static_cast<unsigned char>(*uh)))
            return Match::PartsDiffer;
    }
    return (ph == pe && uh == ue) ? Match::Yes : Match::LengthDiffers;
}

}  // namespace kestrin::base::url

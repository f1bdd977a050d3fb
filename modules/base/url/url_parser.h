// Splitter of absolute http and https URLs into scheme, host and port, with
// same-origin comparison and one-label wildcard origin patterns. It keeps
// pointers into the caller's text and copies nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

namespace kestrin::base::url {

enum class Protocol : int32_t { None = 0, HTTPS = 1, HTTP = 2 };

// Why a pattern match failed; the module traces each kind in its own words.
enum class Match {
    Yes,
    Unusable,       // this URL invalid or not https, or the pattern does not parse or differs in scheme or port
    NeedTwoParts,   // "*." must be followed by at least two name parts
    InnerWildcard,  // a "*" anywhere but at the start of the pattern's host
    PartsDiffer,    // a byte of the hosts differs
    LengthDiffers,  // one host ends before the other
};

class UrlParser {
public:
    // 0 when the text is a valid URL, else 0x80004005 (also for nullptr).
    HRESULT parse(const char* text);
    void reset();

    int port() const { return port_; }
    Protocol protocol() const { return protocol_; }
    bool isHTTPS() const { return protocol_ == Protocol::HTTPS; }
    // A URL with user information ("@" before the path) is never valid: browsers
    // never send it in an origin, and the bytes before the "@" would pass for
    // the host.
    bool isValid() const { return port_ != 0 && hostLength_ != 0 && pathStart_ != nullptr && !userInfo_; }
    // Bytes of scheme, "://", host and optional port; all bits set when invalid.
    size_t prefixLength() const;

    const char* text() const { return text_; }
    const char* host() const { return host_; }
    size_t hostLength() const { return hostLength_; }

    // Same scheme, port and host (without regard to case); both must be valid.
    bool sameOrigin(const UrlParser& other) const;
    // Matches this https URL against an origin pattern whose host may begin
    // with "*." standing for exactly one label.
    Match matchPattern(const char* pattern) const;

private:
    void handlePort(const char* begin, const char* end);

    const char* text_ = nullptr;
    const char* host_ = nullptr;
    const char* pathStart_ = nullptr;
    size_t hostLength_ = 0;
    int port_ = 0;
    Protocol protocol_ = Protocol::None;
    bool userInfo_ = false;
};

}  // namespace kestrin::base::url

// The URL parser "zelk.webclient.url.parser" of module "zelkbase": splits
// absolute http and https URLs, compares origins and matches origin patterns
// with a leading one-label wildcard. It points into the caller's text, which
// must stay unchanged while the parser is used.
#pragma once

#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IURLParser, 0x2A497EEC, 0xFDA7, 0x4636, 0xA5, 0xF1, 0x48, 0xD1, 0x1D, 0x1F, 0x7A, 0x05);

constexpr const char* ZELK_CLASS_URL_PARSER = "zelk.webclient.url.parser";

class IURLParser : public IUnknown {
public:
    // 0 when valid, else 0x80004005 (also for NULL).
    virtual HRESULT parse(const char* text) = 0;
    virtual int getPort() = 0;
    virtual bool isHTTPS() = 0;
    virtual bool isValid() = 0;
    // Bytes of scheme, "://", host and optional port; all bits set when invalid.
    virtual unsigned long getLength() = 0;
    virtual bool cmp(const char* text) = 0;
    virtual bool cmp(IURLParser* other) = 0;
    virtual bool pattern_match(const char* pattern) = 0;

    static const GUID& GetIID() { return IID_IURLParser; }

protected:
    ~IURLParser() override = default;
};

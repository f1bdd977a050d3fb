// Tables "zelk.misc.base.ca.1" (setters of a certificate under construction)
// and "zelk.misc.base.network.1" (cookie transformation, local addresses and
// proxy bypass lists) of module "zelkbase".
#pragma once

#include "qev_values.h"

constexpr const char* ZELKBASE_CA_API = "zelk.misc.base.ca.1";
constexpr const char* ZELKBASE_NETWORK_API = "zelk.misc.base.network.1";

// Usage codes of Certificate_SetKeyUsage beyond the single bits 0 to 8.
constexpr int ZELK_KEYUSAGE_SIGNATURE = 16;   // digitalSignature, nonRepudiation
constexpr int ZELK_KEYUSAGE_ENCRYPTION = 17;  // keyEncipherment, dataEncipherment
constexpr int ZELK_KEYUSAGE_BOTH = 18;        // all four of them

extern "C" {

// Every setter passes its values on to the certificate's own setter
// unchanged and answers 0 whatever that setter answered.
struct ZELKBASE_CA_FUNCTIONS : API_COMMON {
    // 1: `unused` is not passed on.
    HRESULT (*Certificate_SetSubjectPK)(Certificate* cert, const KeyInfo* key, uint8_t unused);
    HRESULT (*Certificate_SetIssuer)(Certificate* cert, const DName* name);                // 2
    HRESULT (*Certificate_SetSubject)(Certificate* cert, const DName* name);               // 3
    HRESULT (*Certificate_SetSerialNumber)(Certificate* cert, const OctetString* serial);  // 4
    // 5: time texts (qev_time.h).
    HRESULT (*Certificate_SetValidity)(Certificate* cert, const char* notBefore, const char* notAfter);
    // 6: the key-usage extension, marked critical, with the flags a usage
    // code selects (bit number 0 to 8, or one of the codes above); any other
    // code sets an extension without flags.
    HRESULT (*Certificate_SetKeyUsage)(Certificate* cert, int usage);
    // 7: does nothing.
    HRESULT (*Certificate_SetBasicConstraints)(Certificate* cert, bool cA);
};

struct ZELKBASE_NETWORK_FUNCTIONS : API_COMMON {
    // 1: the Cookie value of a Set-Cookie value: the text before the first
    // ";", followed by "; $" and the "Path=..." attribute when one follows
    // (case-sensitive). *cookie: library allocator, the caller frees it.
    bool (*Cookie_SimpleTransformation)(const char* setCookie, char** cookie);
    // 2: true when the URL's host is a single label (neither "." nor ":");
    // false for a URL without a host.
    bool (*IsLocalAddress)(const wchar_t* url);
    // 3: true when the URL's host matches one of the ";"-separated wildcard
    // patterns ("*" any run, "?" one character, case-sensitive, pieces untrimmed).
    bool (*IsInBypassList)(const wchar_t* url, const wchar_t* list);
};

}  // extern "C"

// The crypto library's time texts: UTCTime ("YYMMDDHHMMSSZ") and
// GeneralizedTime ("YYYYMMDDHHMMSSZ") as in certificates, converted to and
// from seconds since 1970-01-01 00:00 UTC.
#pragma once

#include <cstdint>
#include <string>

#include "qev_time.h"

namespace kestrin::qevcrypto::ossl {

enum TimeTextFormat : int { TIME_TEXT_UTC = SEC_TIME_UTC, TIME_TEXT_GENERALIZED = SEC_TIME_GENERALIZED };

// Either form, also with fractional seconds or an offset from UTC.
HRESULT TimeTextToSeconds(const char* text, int64_t& seconds);
// UTCTime covers the years 1950 to 2049 only.
HRESULT SecondsToTimeText(int format, int64_t seconds, std::string& text);
HRESULT NowAsTimeText(int format, std::string& text);
// "YYYY-MM-DD HH:MM:SS UTC".
HRESULT TimeTextToDisplay(const char* text, std::string& display);
// 0 when notBefore <= now <= notAfter; SEC_E_TIME_NOT_YET_VALID,
// SEC_E_TIME_EXPIRED, or SEC_E_TIME_FORMAT for a text that cannot be read.
HRESULT CheckValidity(const char* notBefore, const char* now, const char* notAfter);

}  // namespace kestrin::qevcrypto::ossl

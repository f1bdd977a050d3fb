// The crypto library's time texts: UTCTime ("YYMMDDHHMMSSZ") and
// GeneralizedTime ("YYYYMMDDHHMMSSZ") as in certificates, converted to and
// from seconds since 1970-01-01 00:00 UTC.
#pragma once

#include "zelk_result.h"

#include <cstdint>
#include <string>

namespace qev::ossl {

enum TimeTextFormat : int { TIME_TEXT_UTC = 1, TIME_TEXT_GENERALIZED = 2 };

constexpr HRESULT QEV_E_TIME_FORMAT = ZELK_RC(0xA0500001);
constexpr HRESULT QEV_E_TIME_NOT_YET_VALID = ZELK_RC(0xA0500002);
constexpr HRESULT QEV_E_TIME_EXPIRED = ZELK_RC(0xA0500003);

// Either form, also with fractional seconds or an offset from UTC.
HRESULT TimeTextToSeconds(const char* text, int64_t& seconds);
// UTCTime covers the years 1950 to 2049 only.
HRESULT SecondsToTimeText(int format, int64_t seconds, std::string& text);
HRESULT NowAsTimeText(int format, std::string& text);
// "YYYY-MM-DD HH:MM:SS UTC".
HRESULT TimeTextToDisplay(const char* text, std::string& display);
// 0 when notBefore <= now <= notAfter; QEV_E_TIME_NOT_YET_VALID,
// QEV_E_TIME_EXPIRED, or QEV_E_TIME_FORMAT for a text that cannot be read.
HRESULT CheckValidity(const char* notBefore, const char* now, const char* notAfter);

}  // namespace qev::ossl

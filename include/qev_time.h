// Time texts of the crypto library: "SEC_TIME_1". A time text is a UTCTime
// ("YYMMDDHHMMSSZ", years 1950 to 2049) or a GeneralizedTime
// ("YYYYMMDDHHMMSSZ"), as in certificates.
#pragma once

#include <cstdint>

#include "qevcrypto.h"

constexpr const char* SEC_TIME_API = "SEC_TIME_1";

enum SEC_TIME_FORMAT : int { SEC_TIME_UTC = 1, SEC_TIME_GENERALIZED = 2 };

constexpr HRESULT SEC_E_TIME_FORMAT = ZELK_RC(0xA0500001);
constexpr HRESULT SEC_E_TIME_NOT_YET_VALID = ZELK_RC(0xA0500002);
constexpr HRESULT SEC_E_TIME_EXPIRED = ZELK_RC(0xA0500003);

extern "C" {

struct SEC_TIME_TABLE : API_COMMON {
    // 1: seconds since 1970-01-01 00:00 UTC; SEC_E_TIME_FORMAT (and 0) for a
    // text that cannot be read.
    HRESULT (*to_seconds)(const char* text, int64_t* seconds);
    // 2: the time text of a number of seconds since 1970 (library allocator).
    HRESULT (*from_seconds)(int format, int64_t seconds, char** text);
    void* reserved3;
    // 4: the current time as a time text (library allocator).
    HRESULT (*now)(int format, char** text);
    // 5: the display form "YYYY-MM-DD HH:MM:SS UTC" (library allocator).
    HRESULT (*display)(const char* text, char** display);
    void* reserved6;
    // 7: 0 when notBefore <= now <= notAfter; SEC_E_TIME_NOT_YET_VALID,
    // SEC_E_TIME_EXPIRED, or SEC_E_TIME_FORMAT.
    HRESULT (*check_validity)(const char* notBefore, const char* now, const char* notAfter);
};

}  // extern "C"

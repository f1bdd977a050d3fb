// Time conversion of module "zelkbase": table "timeapi". Times are unsigned
// 64-bit numbers tagged by a TimeFormat code (only its low byte counts).
#pragma once

#include <cstdint>

#include "qevcrypto.h"

constexpr const char* ZELKBASE_TIMEAPI_API = "timeapi";

// Unit (bits 0 to 3) and epoch (bits 4 to 7) of a TimeFormat code.
enum TimeFormat : unsigned int {
    TIME_UNIT_SECONDS = 0x01,
    TIME_UNIT_MILLISECONDS = 0x02,
    TIME_UNIT_MICROSECONDS = 0x04,
    TIME_UNIT_100NS = 0x08,
    TIME_EPOCH_RELATIVE = 0x00,
    TIME_EPOCH_1601 = 0x10,
    TIME_EPOCH_1970 = 0x20,
    TIME_FILETIME = TIME_EPOCH_1601 | TIME_UNIT_100NS,    // 0x18
    TIME_UNIXTIME = TIME_EPOCH_1970 | TIME_UNIT_SECONDS,  // 0x21
};

// 100-ns ticks from 1601-01-01 to 1970-01-01.
constexpr uint64_t ZELK_TIME_EPOCH_DELTA = 116444736000000000ull;

// What time_TranslateGeneralTime answers for a text that cannot be read.
constexpr uint64_t ZELK_TIME_INVALID = UINT64_MAX;

extern "C" {

struct SEC_TIMEAPI_TABLE : API_COMMON {
    uint64_t (*time_GetFileTimeNow)();                                                   // 1
    uint64_t (*time_TranslateTime)(uint64_t value, unsigned int from, unsigned int to);  // 2
    // 3: a time text of the crypto library in format `to`; ZELK_TIME_INVALID
    // when the text cannot be read.
    uint64_t (*time_TranslateGeneralTime)(const char* text, unsigned int to);
};

}  // extern "C"

// The probe table "rawpse.1" of the test provider module "qevrawpse".
#pragma once

#include <cstdint>

#include "qev_pse.h"

inline constexpr const char* RAW_PSE_TYPE = "rawpse";
// An attribute of the creation chain that makes the provider refuse.
inline constexpr uint32_t RAW_PSE_REFUSE_ATTRIBUTE = 0x7E570001;

struct RAW_PSE_PROBE : API_COMMON {
    int (*live)();                   // PSE objects alive
    ASC* (*last_asc)();              // the context the last creation was given
    const char* (*last_provider)();  // attribute 1 of the last creation's chain
};

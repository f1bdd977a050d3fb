// The table every raw test module offers ("raw.1"): how often its module_init
// ran and what its own lookups during module_init answered.
#pragma once

#include "qevcrypto.h"

struct RAW_TABLE : API_COMMON {
    int (*init_count)();
    HRESULT (*nested_result)();
    SEC_FUNCTION_LIST* (*list)();
};

#define RAW_EXPORT extern "C" __attribute__((visibility("default")))

// The crypto library's configuration: "SEC_CONFIG_1".
#pragma once

#include "qevcrypto.h"

constexpr const char* SEC_CONFIG_API = "SEC_CONFIG_1";

// The name of the library's own PSE file in the PSE folder.
constexpr const char* SEC_PSE_FILE_NAME = "pse.zip";

extern "C" {

struct SEC_CONFIG_TABLE : API_COMMON {
    void* reserved[11];  // 1 to 11
    // 12: the PSE folder, the user data folder "$XDG_DATA_HOME/kestrin"
    // (created 0700 when missing), into `buffer` with its NUL; *out then
    // points at `buffer`. A buffer too small answers E_BUFFERTOOSMALL and
    // writes nothing.
    HRESULT (*get_PSE_dir)(char* buffer, unsigned long size, const char** out);
};

}  // extern "C"

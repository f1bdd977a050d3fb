// Random values of the crypto library: "SEC_RANDOM_1".
#pragma once

#include "qevcrypto.h"

constexpr const char* SEC_RANDOM_API = "SEC_RANDOM_1";

// Forms of slot 1's output.
enum SEC_RANDOM_FORM : int {
    SEC_RANDOM_BYTES = 0,  // out: OctetString** receiving a new octet string
    // out: char** receiving `length` characters of A-Z, a-z and 0-9, each
    // equally likely, and a NUL (library allocator).
    SEC_RANDOM_TEXT = 3,
    // The same text, for identifiers that travel in URLs and JSON.
    SEC_RANDOM_UID_TEXT = 6,
};

extern "C" {

struct SEC_RANDOM_TABLE : API_COMMON {
    // 1: `length` random bytes or characters in the given form; `source` is
    // not read.
    HRESULT (*random)(int source, uint64_t length, int form, void* out);
};

}  // extern "C"

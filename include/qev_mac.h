// Message authentication codes of the crypto library: "SEC_CRYPTO_1".
#pragma once

#include "qevcrypto.h"

constexpr const char* SEC_CRYPTO_API = "SEC_CRYPTO_1";

// Hash identifiers of slot 1.
constexpr unsigned int SEC_MAC_HASH_SHA1 = 5;

extern "C" {

struct SEC_CRYPTO_TABLE : API_COMMON {
    // 1: HMAC of `data` under `key` with the hash `hash` (only SHA-1, 5; any
    // other is 0x80000003). *outLength gives the buffer's size and receives
    // the MAC's length; a short buffer answers 0xA0100014 with the length
    // needed and writes nothing.
    HRESULT(*hmac)
    (unsigned int hash, const unsigned char* key, uint64_t keyLength, const unsigned char* data, uint64_t dataLength,
     unsigned char* out, uint64_t* outLength);
};

}  // extern "C"

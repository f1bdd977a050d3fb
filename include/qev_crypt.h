// Symmetric keys, ciphers and digests of the crypto library: the slots of
// "SEC_CRYPT_1" in use, the attribute identifiers they read and their codes.
#pragma once

#include "qev_values.h"

constexpr const char* SEC_CRYPT_API = "SEC_CRYPT_1";

// Attribute identifiers. Numbers travel as the value itself
// (reinterpret_cast<void*>(uintptr_t)); 119 is a KeyInfo*, 108 an OctetString*.
enum SEC_CRYPT_ATTR : uint32_t {
    SEC_ATTR_KEY_BITS = 67,    // key length in bits
    SEC_ATTR_MODE = 105,       // cipher mode
    SEC_ATTR_DECRYPT = 106,    // present: decrypt
    SEC_ATTR_IV = 108,         // initialisation vector
    SEC_ATTR_IV_LENGTH = 109,  // feedback length of mode 2
    SEC_ATTR_PADDING = 113,    // 4: PKCS#7 padding (the default); 0: none
    SEC_ATTR_ALGORITHM = 114,  // cipher code
    SEC_ATTR_HASH = 118,       // hash code
    SEC_ATTR_KEY = 119,        // the key
};

// Cipher codes: 1 DES, 2 triple DES of 168 key bits, 4 two-key triple DES
// (128 bits with parity), 6 RC4 (whole-byte keys of 40 to 2048 bits),
// 7 triple DES of 192 bits with parity, 10, 11, 12 AES-128, -192, -256.
// Modes: 0 ECB, 1 CBC, 2 CFB.
enum SEC_CIPHER_MODE : unsigned int { SEC_MODE_ECB = 0, SEC_MODE_CBC = 1, SEC_MODE_CFB = 2 };
constexpr unsigned int SEC_PADDING_PKCS = 4;

enum SEC_HASH_CODE : unsigned int { SEC_HASH_SHA1 = 1, SEC_HASH_SHA256 = 2, SEC_HASH_SHA384 = 3, SEC_HASH_SHA512 = 4 };

// Key length 0 or above 16,384 bits, or not one the cipher takes.
constexpr HRESULT SEC_E_KEY_LENGTH = ZELK_RC(0xA010000B);

extern "C" {

struct SEC_CRYPT_TABLE : API_COMMON {
    // 1: a new random symmetric key of attribute 67's length for cipher 114.
    HRESULT (*gen_key)(const SECAttribute* attributes, KeyInfo** key);
    void* reserved2[16];  // 2 to 17
    // 18: runs the cipher (key 119, algorithm 114, mode 105, decrypt 106,
    // IV 108, 109, padding 113) over the input. *outLength gives the buffer's
    // size and receives the bytes written.
    HRESULT(*cipher)
    (const SECAttribute* attributes, const unsigned char* in, uint64_t inLength, unsigned char* out,
     uint64_t* outLength);
    void* reserved19[3];  // 19 to 21
    // 22: the digest (algorithm 118) of the data; *outLength as in 18.
    HRESULT(*hash_all)
    (const SECAttribute* attributes, const unsigned char* data, uint64_t length, unsigned char* out,
     uint64_t* outLength);
    void* reserved23[21];  // 23 to 43
    // 44: the buffer size slot 18 needs for `inLength` input bytes.
    HRESULT (*output_size)(const SECAttribute* attributes, uint64_t inLength, uint64_t* outLength);
};

}  // extern "C"

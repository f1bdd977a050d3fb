// Symmetric keys and ciphers over OpenSSL, named by the crypto library's
// cipher codes and modes.
#pragma once

#include "ossl_util.h"
#include "qev_crypt.h"

namespace kestrin::qevcrypto::ossl {

// Cipher codes: 1 DES, 2 three-key triple DES (168 key bits), 4 two-key
// triple DES (128 bits with parity), 6 RC4 (any whole-byte key of 40 to 2048
// bits), 7 three-key triple DES (192 bits with parity), 10/11/12 AES with 128,
// 192, 256 bits. Modes: 0 ECB, 1 CBC, 2 CFB with full-block feedback; RC4 has
// no mode.
enum CipherCode : unsigned int {
    CIPHER_DES = 1,
    CIPHER_DES_EDE3_168 = 2,
    CIPHER_DES_EDE = 4,
    CIPHER_RC4 = 6,
    CIPHER_DES_EDE3 = 7,
    CIPHER_AES128 = 10,
    CIPHER_AES192 = 11,
    CIPHER_AES256 = 12,
};
enum CipherMode : unsigned int { MODE_ECB = 0, MODE_CBC = 1, MODE_CFB = 2 };

// Key lengths accepted for generation, in bits.
constexpr unsigned long kMaxSymmetricKeyBits = 16384;

// Random key bytes for a key of `bits` bits (rounded up to whole bytes).
HRESULT GenerateSymmetricKey(unsigned long bits, SecretBytes& key);

struct CipherSpec {
    unsigned int algorithm = CIPHER_RC4;
    unsigned int mode = MODE_ECB;
    bool decrypt = false;
    bool padding = true;  // PKCS#7 padding in ECB and CBC
    const uint8_t* key = nullptr;
    size_t keyBits = 0;
    const uint8_t* iv = nullptr;
    size_t ivLength = 0;
    size_t feedbackLength = 0;  // CFB: 0 or the block size
};

// Bytes the cipher may write for `inLength` input bytes.
HRESULT CipherOutputSize(const CipherSpec& cipher, size_t inLength, size_t& outLength);

// Runs the whole cipher; `outLength` holds the buffer's size on entry and the
// bytes written on return.
HRESULT RunCipher(const CipherSpec& cipher, const uint8_t* in, size_t inLength, uint8_t* out, size_t& outLength);

}  // namespace kestrin::qevcrypto::ossl

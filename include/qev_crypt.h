// Symmetric keys, ciphers and digests of the crypto library: the slots of
// "SEC_CRYPT_1" in use, the attribute identifiers they read and their codes.
#pragma once

#include "qev_attributes.h"
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

// Key pairs and signatures (slots 2 to 5).
constexpr uint32_t SEC_ATTR_PROGRESS = 59;        // a SEC_PROGRESS record
constexpr uint32_t SEC_ATTR_KEY_ALGORITHM = 103;  // an AlgId*: id-ecPublicKey with its named curve
// 500, the signature algorithm (an AlgId*), is SEC_ATTR_SIGNATURE_ALGORITHM of qev_attributes.h.
constexpr uint32_t SEC_ATTR_SIGN_PARAMETERS = 1027;  // a SEC_SIGN_PARAMETERS record
constexpr unsigned int SEC_KEY_ALGORITHM_RSA = 0;
constexpr uint32_t SEC_SIGN_SCHEME_PKCS1 = 1;   // RSA PKCS#1 v1.5
constexpr uint32_t SEC_SIGN_INPUT_MESSAGE = 5;  // the data is the message: the library digests it

// A null argument; a signature buffer that is too short (callers test
// (code & 0x8000FFFF) == 0x80000014); a generation its progress task stopped.
constexpr HRESULT SEC_E_NULLARG = ZELK_RC(0xA010000B);
constexpr HRESULT SEC_E_BUFFER_TOO_SMALL = ZELK_RC(0xA0100014);
constexpr HRESULT SEC_E_CANCELLED = ZELK_RC(0xA0100019);

extern "C" {

struct SEC_PROGRESS;
struct SEC_PROGRESS_TASK;

struct SEC_PROGRESS_TABLE {
    // Starts a task of `total` steps (0: unknown); *task receives the record
    // that the task's steps are reported to.
    HRESULT (*start_task)(SEC_PROGRESS* progress, SEC_PROGRESS_TASK** task, const char* name, uint64_t total);
};

struct SEC_PROGRESS_TASK_TABLE {
    // One more step; any answer but 0 asks the task to stop.
    HRESULT (*task_state)(SEC_PROGRESS_TASK* task, uint64_t done, uint64_t total);
    HRESULT (*task_finish)(SEC_PROGRESS_TASK* task);
};

// What a caller hands over as attribute 59, and the task it gives back: a
// function table and the caller's own object.
struct SEC_PROGRESS {
    const SEC_PROGRESS_TABLE* table;
    void* owner;
};

struct SEC_PROGRESS_TASK {
    const SEC_PROGRESS_TASK_TABLE* table;
    void* owner;
};

struct SEC_SIGN_PARAMETERS {
    uint32_t scheme;  // SEC_SIGN_SCHEME_PKCS1
    uint32_t input;   // SEC_SIGN_INPUT_MESSAGE
    uint32_t reserved[2];
};

}  // extern "C"

extern "C" {

struct SEC_CRYPT_TABLE : API_COMMON {
    // 1: a new random symmetric key of attribute 67's length for cipher 114.
    HRESULT (*gen_key)(const SECAttribute* attributes, KeyInfo** key);
    // 2: an RSA key pair. `input`: 67 the size in bits (512 to 16,384), 114
    // the algorithm (0: RSA), 59 a progress record (NULL allowed). The first
    // attribute 119 of `privateOut` receives the private key (PKCS#8 octets),
    // that of `publicOut` the public key (SubjectPublicKeyInfo); both are
    // marked owned with the KeyInfo type, so the chain's holder frees them.
    // The progress task is started once and told of every step; a non-zero
    // answer stops the generation with SEC_E_CANCELLED.
    // With 103 instead, an EC key pair on the named curve of its parameters
    // (P-256, P-384, P-521); another algorithm or curve is E_INVALIDARG.
    HRESULT(*gen_keypair)
    (const SECAttribute* input, const SECAttribute* reserved1, SECAttribute* privateOut, const SECAttribute* reserved2,
     SECAttribute* publicOut);
    // 3: the size in bits of an RSA key (either half), 0 when unreadable.
    uint32_t (*get_key_size)(const KeyInfo* key);
    // 4: signs `data` (119 the private key, 500 the signature algorithm, 1027
    // a SEC_SIGN_PARAMETERS record {1, 5}: RSA PKCS#1 v1.5 over the digest of
    // the algorithm). `buffer` is signature->data and signature->length its
    // size; the length receives the signature's. SEC_E_BUFFER_TOO_SMALL when
    // the buffer is shorter than the key's signatures.
    HRESULT(*sign)
    (const SECAttribute* attributes, const unsigned char* data, uint64_t length, unsigned char* buffer,
     OctetString* signature);
    // 5: signs a digest with a private key (119; RSA or EC) for the
    // signature algorithm 500: RSA PKCS#1 v1.5 over the DigestInfo of 500's
    // digest, or without one for a 36-byte MD5 and SHA-1 digest; ECDSA as a
    // DER sequence. *outLength gives the buffer's size and receives the
    // signature's length; a buffer shorter than the key's largest signature
    // is SEC_E_BUFFER_TOO_SMALL with that size. NULL outLength: E_INVALIDARG.
    HRESULT(*encrypt_digest)
    (const SECAttribute* attributes, const unsigned char* digest, uint64_t length, unsigned char* out,
     uint64_t* outLength);
    void* reserved6[12];  // 6 to 17
    // 18: runs the cipher (key 119, algorithm 114, mode 105, decrypt 106,
    // IV 108, 109, padding 113) over the input. *outLength gives the buffer's
    // size and receives the bytes written. When 106 holds an attribute chain
    // with a private RSA key 119, it decrypts PKCS#1 v1.5 with that key
    // instead; a short buffer is SEC_E_BUFFER_TOO_SMALL with the length.
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

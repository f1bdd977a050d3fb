// The bytes of the PSE file "pse.zip": a PKCS#12 file (RFC 7292). The
// library writes one unencrypted safe that holds each identity's private key
// as a shrouded key bag (PBES2: AES-256-CBC, PBKDF2-HMAC-SHA-256,
// kPseIterations) with the identity's certificate bag beside it (paired by
// localKeyID, friendly name = label), chain certificates as further
// certificate bags and the trusted certificates as one secret bag of a
// private type holding a DER SEQUENCE OF Certificate; the integrity code is
// HMAC-SHA-256 under the password. Files made by `openssl pkcs12 -export`
// (certificates in an encrypted safe, legacy algorithms) are read as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ossl/ossl_util.h"
#include "zelk_result.h"

namespace kestrin::qevcrypto::filepse {

using ossl::Bytes;
using ossl::SecretBytes;

// Iterations of every key derivation the library writes (keys and MAC).
constexpr int kPseIterations = 100000;
// Largest file, password, certificate count and trusted list read.
constexpr size_t kMaxPseFileSize = 16u << 20;
constexpr size_t kMaxPasswordLength = 4096;
constexpr size_t kMaxBags = 4096;
// Most iterations of a key derivation that a file may ask for.
constexpr long kMaxIterations = 2000000;

struct CertificateBag {
    Bytes der;
    std::string label;  // friendly name, UTF-8; empty when none
    Bytes localKeyId;
};

struct KeyBag {
    Bytes shrouded;     // the encrypted PKCS#8 (X509_SIG DER) as the file holds it; empty for a plain key
    SecretBytes pkcs8;  // DER PrivateKeyInfo, once decrypted
    std::string label;
    Bytes localKeyId;
};

struct PseImage {
    std::vector<CertificateBag> certificates;  // identities' and chain certificates, file order
    std::vector<KeyBag> keys;
    std::vector<Bytes> trusted;   // DER, list order
    bool encryptedSafes = false;  // safes that only the password opens
};

// What is readable without the password (`password` NULL), or everything
// after verifying the integrity code and decrypting keys and safes.
// E_PSE_CORRUPT: not PKCS#12, or an unencrypted safe unreadable; with a
// password, E_PSE_BADPASSWORD when the integrity code or a decryption fails.
HRESULT ParsePseFile(const uint8_t* der, size_t length, const char* password, size_t passwordLength, PseImage* out);

// A new file of the image: every key must be decrypted.
HRESULT BuildPseFile(const PseImage& image, const char* password, size_t passwordLength, Bytes* der);

}  // namespace kestrin::qevcrypto::filepse

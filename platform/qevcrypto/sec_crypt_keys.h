// What the "SEC_CRYPT_1" sources share about asymmetric keys.
#pragma once

#include "ossl/ossl_util.h"
#include "qev_values.h"

namespace kestrin::qevcrypto {

// The key under a KeyInfo: a private key when its algorithm's PKCS#8 record
// reads, else a public key; empty when neither reads.
ossl::EvpPkeyPtr KeyOfInfo(const KeyInfo* key);

// Slot 18 with 106 holding an attribute chain: RSA PKCS#1 v1.5 decryption
// with the chain's private key 119.
HRESULT DecryptWithPrivateKey(const SECAttribute* chain, const unsigned char* in, uint64_t inLength, unsigned char* out,
                              uint64_t* outLength);

}  // namespace kestrin::qevcrypto

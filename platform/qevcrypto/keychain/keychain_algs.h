// The signature and decryption algorithms of the key store's keys: the
// algorithms a key offers, and what a caller's algorithm identifier asks of
// the key store.
#pragma once

#include "keystore.h"
#include "qev_records.h"
#include "qev_values.h"

namespace kestrin::qevcrypto::keychain {

using kestrin::keystore::Digest;
using kestrin::keystore::KeyType;

// RSA: sha256/384/512WithRSAEncryption, rsassaPss; EC: ecdsa-with-SHA256/384/512.
HRESULT SignatureAlgorithms(KeyType key, SEQUENCE_OF_AlgId** out);

struct SignPlan {
    enum class Mode { RawPkcs1, Digest, Data } mode = Mode::Digest;
    Digest digest = Digest::Sha256;
    kestrin::keystore::SignPadding padding = kestrin::keystore::SignPadding::Pkcs1;
};

// How to sign `inputLength` bytes (a digest when `digestInput`) under the
// algorithm (NULL: the key's plain algorithm). E_INVALIDARG for an unknown
// algorithm, one of another key type, unsupported parameters or a digest of
// the wrong length.
HRESULT PlanSignature(const AlgId* algorithm, KeyType key, bool digestInput, size_t inputLength, SignPlan* out);

// NULL or rsaEncryption: PKCS#1 v1.5; rsaesOaep with SHA-1 or SHA-256 and no
// label. E_INVALIDARG otherwise.
HRESULT PlanDecryption(const AlgId* algorithm, kestrin::keystore::DecryptPadding* out);

}  // namespace kestrin::qevcrypto::keychain

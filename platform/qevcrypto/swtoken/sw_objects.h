// The token objects of the in-memory software tokens: private keys that sign
// and decrypt with OpenSSL, and certificates. Each object is kept by its
// store and reaches it only while the store lives.
#pragma once

#include "qev_values.h"
#include "sw_store.h"

namespace kestrin::qevcrypto::swtoken {

// A new object put into the store; `out` (NULL allowed) receives a reference.
// The key identifier's text is also the object's PKCS#11 CKA_ID bytes.
HRESULT NewPrivateKeyObject(const StorePtr& store, const KeyInfo* key, const char* keyId, const char* label,
                            unsigned int usage, TokenObjectPrivateKey** out);
HRESULT NewCertificateObject(const StorePtr& store, Certificate* certificate, const char* keyId, const char* label,
                             TokenObjectCertificate** out);

}  // namespace kestrin::qevcrypto::swtoken

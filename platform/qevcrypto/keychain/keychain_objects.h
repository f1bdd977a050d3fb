// The key store's identities as the library's slots, tokens and token
// objects ("tokkeychain:"). Objects hold the store and a snapshot of their
// identity; an operation on an identity deleted from the store answers
// E_TOKEN_NOKEY. Private keys never leave the store.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "keystore.h"
#include "qev_token.h"

namespace kestrin::qevcrypto::keychain {

using StorePtr = std::shared_ptr<kestrin::keystore::KeyStore>;

struct IdentityInfo {
    kestrin::keystore::Fingerprint sha1 {};
    std::vector<uint8_t> certificate;  // DER
    std::string printName;
    kestrin::keystore::KeyType keyType = kestrin::keystore::KeyType::Other;
    std::string keyId;  // lower-case hexadecimal SHA-1 of the certificate
};

using IdentityPtr = std::shared_ptr<const IdentityInfo>;

HRESULT MakeIdentity(const kestrin::keystore::Identity& identity, IdentityPtr* out);

HRESULT NewCertificateObject(StorePtr store, IdentityPtr identity, TokenObjectCertificate** out);
HRESULT NewPrivateKeyObject(StorePtr store, IdentityPtr identity, TokenObjectPrivateKey** out);
HRESULT NewPublicKeyObject(StorePtr store, IdentityPtr identity, TokenObjectPublicKey** out);

// The slot of a "tokkeychain:" name (SlotScheme of the library's getSlot).
HRESULT OpenKeychainSlot(const char* name, SecSlot** out);

}  // namespace kestrin::qevcrypto::keychain

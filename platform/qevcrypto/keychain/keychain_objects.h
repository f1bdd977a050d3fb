// Identities (a certificate and its private key) as the library's token
// objects, over the place that keeps them: the key store ("tokkeychain:"
// slots and tokens) or the PSE file. Objects hold their source and a
// snapshot of their identity; an operation on an identity that has left its
// source answers E_TOKEN_NOKEY. Private keys never leave their source.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "keystore.h"
#include "ossl/ossl_util.h"
#include "qev_token.h"

namespace kestrin::qevcrypto::keychain {

using StorePtr = std::shared_ptr<kestrin::keystore::KeyStore>;

struct IdentityInfo {
    kestrin::keystore::Fingerprint sha1 {};
    std::vector<uint8_t> certificate;  // DER
    std::string printName;
    kestrin::keystore::KeyType keyType = kestrin::keystore::KeyType::Other;
    std::string keyId;        // lower-case hexadecimal of `id`; empty: the identity has no key
    std::vector<uint8_t> id;  // CKA_ID: the SHA-1 of the certificate in the key store
};

using IdentityPtr = std::shared_ptr<const IdentityInfo>;

HRESULT MakeIdentity(const kestrin::keystore::Identity& identity, IdentityPtr* out);

// Where an identity's private key and its certificate's issuers are kept.
class IdentitySource {
public:
    virtual ~IdentitySource() = default;
    // S_OK while the identity is there, E_TOKEN_NOKEY when it has gone.
    virtual HRESULT Present(const IdentityInfo& identity) = 0;
    // Signs `input` (a digest when `digestInput`) under the algorithm (NULL:
    // the key's plain one).
    virtual HRESULT Sign(const IdentityInfo& identity, const AlgId* algorithm, bool digestInput,
                         std::span<const uint8_t> input, std::vector<uint8_t>* signature) = 0;
    virtual HRESULT Decrypt(const IdentityInfo& identity, const AlgId* algorithm, std::span<const uint8_t> input,
                            ossl::SecretBytes* plain) = 0;
    // The issuers above the certificate (its own issuer first) and the
    // self-signed root apart (empty: none).
    virtual HRESULT Path(const IdentityInfo& identity, std::vector<std::vector<uint8_t>>* path,
                         std::vector<uint8_t>* root) = 0;
};

using SourcePtr = std::shared_ptr<IdentitySource>;

// The key store as a source.
SourcePtr KeyStoreSource(StorePtr store);

HRESULT NewCertificateObject(SourcePtr source, IdentityPtr identity, TokenObjectCertificate** out);
HRESULT NewPrivateKeyObject(SourcePtr source, IdentityPtr identity, TokenObjectPrivateKey** out);
HRESULT NewPublicKeyObject(SourcePtr source, IdentityPtr identity, TokenObjectPublicKey** out);

// getObjects of a token over its identities: objects of the type (certificate,
// public or private key; none of any other) for the identities whose key
// identifier (without case) and print name match the filters that are given.
// Never more than *count objects go into `objects` (none when it is NULL);
// *count becomes the number that match.
HRESULT ListObjects(const SourcePtr& source, const std::vector<IdentityPtr>& identities, TokenObject** objects,
                    unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label);

// The slot of a "tokkeychain:" name (SlotScheme of the library's getSlot).
HRESULT OpenKeychainSlot(const char* name, SecSlot** out);

}  // namespace kestrin::qevcrypto::keychain

// The certification path of a key-store certificate: its issuers found among
// the store's certificates, then among the system's anchors, each matched by
// name and by signature, at most kMaxPath of them; the self-signed root that
// ends the path is kept apart from it.
#pragma once

#include <cstdint>
#include <vector>

#include "keystore.h"
#include "qev_records.h"

namespace kestrin::qevcrypto::keychain {

constexpr size_t kMaxPath = 32;

// `path` receives the issuers (DER), the certificate's own issuer first;
// `root` the self-signed root (empty when the path ends without one, or when
// the certificate is itself self-signed).
HRESULT BuildPath(kestrin::keystore::KeyStore& store, const std::vector<uint8_t>& certificate,
                  std::vector<std::vector<uint8_t>>* path, std::vector<uint8_t>* root);

// The same path among `certificates` only (a token's own certificates).
HRESULT BuildPathAmong(const std::vector<std::vector<uint8_t>>& certificates, const std::vector<uint8_t>& certificate,
                       std::vector<std::vector<uint8_t>>* path, std::vector<uint8_t>* root);

// The library's certificate objects of a certificate, its path and root, for
// the outputs that are not NULL.
HRESULT HandOutPath(const std::vector<uint8_t>& certificate, const std::vector<std::vector<uint8_t>>& path,
                    const std::vector<uint8_t>& root, Certificate** certificateOut, SEQUENCE_OF_Certificate** pathOut,
                    Certificate** rootOut);

// A new copy of the certificate's public key.
HRESULT CertificatePublicKey(const std::vector<uint8_t>& certificate, KeyInfo** out);

}  // namespace kestrin::qevcrypto::keychain

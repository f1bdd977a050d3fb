// Certificates and identities made by the openssl command line for the
// provider's tests, and a key store they are imported into.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keystore.h"

namespace ZELK::ZELKPSE::test {

bool Shell(const std::string& command);
std::vector<uint8_t> ReadBytes(const std::string& path);

// In `folder`: a root "R" (O=R Org) with an intermediate "I" (O=I Org) and
// the leaves (O=Leaf Org) below it, "sign" (digitalSignature),
// "nonrep" (nonRepudiation), "encipher" (keyEncipherment), "nokeyusage" (no
// key-usage extension) and "noski" (digitalSignature, no subject key
// identifier); a second root "R2" with intermediate "I2" and leaf "other"
// (digitalSignature). Each <name>.pem, <name>.der, <name>.key and
// <name>.p12 (password "secret"). Every certificate's CN is its name.
bool MakeTestPki(const std::string& folder);

// A CA certificate "<name>" signed by `issuer` (empty: self-signed) with its
// key and PKCS#12 file, as MakeTestPki makes them.
bool MakeCa(const std::string& folder, const std::string& name, const std::string& issuer);
// A leaf "<name>" signed by `issuer` with the extension lines given.
bool MakeLeaf(const std::string& folder, const std::string& name, const std::string& issuer,
              const std::string& extensions);

// Imports <name>.p12 of `folder` into the store.
bool ImportIdentity(kestrin::keystore::KeyStore& store, const std::string& folder, const std::string& name);

}  // namespace ZELK::ZELKPSE::test

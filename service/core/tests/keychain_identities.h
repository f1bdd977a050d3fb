// Identities made by the openssl command line for the keychain monitor's
// tests: a self-signed certificate and its key exported as PKCS#12 under a
// friendly name, and the slot name the certificate's SHA-1 gives, as
// `openssl x509 -noout -fingerprint -sha1` prints it (lower case, no colons).
#pragma once

#include <string>
#include <vector>

namespace kestrin::service::test {

struct KeychainIdentity {
    std::string p12;                         // path of the PKCS#12 file, password "secret"
    std::string slot;                        // "tokkeychain:cert=" + the fingerprint
    std::vector<unsigned char> bytes;        // the PKCS#12 file's bytes
    std::vector<unsigned char> certificate;  // the certificate's DER
};

// Makes the identity in `folder`; `key` is an openssl -newkey argument
// ("rsa:2048", "ec -pkeyopt ec_paramgen_curve:P-256"), `subject` an -subj text.
bool MakeKeychainIdentity(const std::string& folder, const std::string& name, const std::string& key,
                          const std::string& subject, const std::string& friendlyName, KeychainIdentity* out);

}  // namespace kestrin::service::test

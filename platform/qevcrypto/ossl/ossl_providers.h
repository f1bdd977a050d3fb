// OpenSSL providers the crypto library needs beyond the default one.
#pragma once

namespace kestrin::qevcrypto::ossl {

// Makes the legacy algorithms (RC4, the old PKCS#12 encryptions) available in
// the default library context next to the default provider. Loaded once per
// process; true when both providers are available.
bool EnsureLegacyProvider();

}  // namespace kestrin::qevcrypto::ossl

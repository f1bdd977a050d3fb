// Signing and decryption with a private key of the PSE file (its DER
// PrivateKeyInfo), under the algorithms the key store's keys take.
#pragma once

#include "pse_file.h"
#include "qev_values.h"

namespace kestrin::qevcrypto::filepse {

HRESULT SignWithKey(const SecretBytes& pkcs8, const AlgId* algorithm, bool digestInput, const uint8_t* input,
                    size_t length, Bytes* signature);
HRESULT DecryptWithKey(const SecretBytes& pkcs8, const AlgId* algorithm, const uint8_t* input, size_t length,
                       SecretBytes* plain);

}  // namespace kestrin::qevcrypto::filepse

// Signing a certificate under construction with a token's private key, beside
// the setters of the table "zelk.misc.base.ca.1" but in no table.
#pragma once

#include "qev_token.h"
#include "qev_values.h"

namespace kestrin::base {

// Signs `cert` with `key` under the signature `algorithm` (an RSA PKCS#1 or
// ECDSA algorithm over SHA-1, SHA-256, SHA-384 or SHA-512): the digest of the
// to-be-signed part goes to the key's sign operation, and its signature
// completes the certificate. 0x80000003 for a missing argument or another
// algorithm; the key's failure as it answers it; 0x80004005 when the crypto
// library cannot hash.
HRESULT Certificate_SignWithToken(Certificate* cert, TokenObjectPrivateKey* key, const AlgId* algorithm);

}  // namespace kestrin::base

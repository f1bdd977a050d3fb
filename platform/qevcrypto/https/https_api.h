// HTTPS behind the security context's slots 11 and 12: the URL context, its
// connections (libcurl over OpenSSL) and the TLS context.
#pragma once

#include "qev_pse.h"

namespace kestrin::qevcrypto::https {

// A new URL context (one reference) whose connections trust the trusted list
// of `asc`'s PSE and the key store's trust. `asc` may be NULL (key store only).
HRESULT CreateUrlContext(ASC* asc, url_context** out);
// A new TLS context (one reference).
HRESULT CreateSslContext(ssl_context** out);

}  // namespace kestrin::qevcrypto::https

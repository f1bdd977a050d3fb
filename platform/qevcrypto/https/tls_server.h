// The server side of TLS over memory channels: "SEC_SSL_1" slot 2's server
// context, its connections and "SEC_BIO_1"'s memory channels.
#pragma once

#include "qev_bio.h"
#include "qev_ssl.h"

namespace kestrin::qevcrypto::https {

// A new server context (one reference) for SSL_VERSION_TLS12_AND_LATER and
// SSL_MODE_SERVER; other arguments E_INVALIDARG.
HRESULT CreateServerContext(unsigned int version, unsigned int mode, ssl_context** out);
// A new memory channel (one reference); other types E_INVALIDARG.
HRESULT CreateBio(unsigned int type, bio** out);

}  // namespace kestrin::qevcrypto::https

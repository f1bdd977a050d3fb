// The connection's own check of the server's certificate: the chain against
// the trusted certificates (then the key store's trust), the host name always,
// and, as the flags ask, the common name and the key usages.
#pragma once

#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "ossl/ossl_util.h"
#include "zelk_result.h"

namespace kestrin::qevcrypto::https {

struct VerifyState {
    std::string host;                    // the URL's host, without IPv6 brackets
    unsigned int flags = 0;              // URL_NAME_CHECK bits
    std::vector<ossl::X509Ptr> anchors;  // the PSE's trusted list
    HRESULT failure = S_OK;              // the first check that failed, during one handshake
    int alert = -1;                      // the alert the server sent, or -1
};

// Puts the trusted certificates, the verify callback and the alert watch on a
// context that libcurl is about to use; `state` outlives the handshake.
void PrepareContext(SSL_CTX* ctx, VerifyState* state);

// The verdict for one leaf certificate against the host and the flags: S_OK,
// E_URL_CERTNAME or E_URL_CERTEXT.
HRESULT CheckLeaf(X509* leaf, const std::string& host, unsigned int flags);

}  // namespace kestrin::qevcrypto::https

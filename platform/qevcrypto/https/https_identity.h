// What a security context holds for TLS beyond its PSE: a client identity
// (key, certificate and the certificates that came with it) and trust
// anchors, both read from PSE images of in-memory files (attribute 847).
#pragma once

#include <memory>
#include <vector>

#include "ossl/ossl_util.h"

namespace kestrin::qevcrypto::https {

struct ClientIdentity {
    ossl::EvpPkeyPtr key;
    ossl::X509Ptr certificate;
    std::vector<ossl::X509Ptr> chain;
};

struct ContextCredentials {
    std::shared_ptr<const ClientIdentity> identity;
    std::vector<ossl::X509Ptr> anchors;
};

}  // namespace kestrin::qevcrypto::https

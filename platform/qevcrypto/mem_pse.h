// The PSE of a security context whose PSE images come from in-memory files
// (attribute 847): its own certificate is the identity image's, and it keeps
// a flag of the open PSE (attribute 888, on when opened) that is not part of
// the image. It offers nothing else.
#pragma once

#include <memory>

#include "https/https_identity.h"
#include "qev_pse.h"

namespace kestrin::qevcrypto {

// A new memory PSE with one reference; `identity` may be NULL (images of
// certificates only).
HRESULT CreateMemoryPse(std::shared_ptr<const https::ClientIdentity> identity, PSE** out);

}  // namespace kestrin::qevcrypto

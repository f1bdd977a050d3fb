// Random bytes from OpenSSL's generator.
#pragma once

#include "zelk_result.h"

#include <cstddef>
#include <cstdint>

namespace kestrin::qevcrypto::ossl {

HRESULT RandomBytes(uint8_t* out, size_t length);

}  // namespace kestrin::qevcrypto::ossl

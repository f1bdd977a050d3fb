// Random bytes from OpenSSL's generator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

namespace kestrin::qevcrypto::ossl {

HRESULT RandomBytes(uint8_t* out, size_t length);

}  // namespace kestrin::qevcrypto::ossl

// Latin-1 text to the contents of an ASN.1 BMPString (UCS-2, big-endian).
#pragma once

#include <string_view>

#include "ossl_util.h"

namespace kestrin::qevcrypto::ossl {

// Every Latin-1 byte is the code point of the same value, so each becomes the
// two bytes 0x00, byte. No terminator is added.
Bytes Latin1ToBmp(std::string_view text);

}  // namespace kestrin::qevcrypto::ossl

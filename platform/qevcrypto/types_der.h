// Just enough DER to take algorithm identifiers, public-key and private-key
// records apart and put them together.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ossl/ossl_util.h"

namespace kestrin::qevcrypto::der {

constexpr uint8_t TAG_INTEGER = 0x02;
constexpr uint8_t TAG_BIT_STRING = 0x03;
constexpr uint8_t TAG_OCTET_STRING = 0x04;
constexpr uint8_t TAG_OID = 0x06;
constexpr uint8_t TAG_SEQUENCE = 0x30;

// Appends tag, length and content.
void AppendTlv(ossl::SecretBytes& out, uint8_t tag, const uint8_t* content, size_t length);

struct Reader {
    const uint8_t* p;
    const uint8_t* end;

    // The next element: its tag, content and whole encoding. false at the
    // end or on a malformed or indefinite length.
    bool Next(uint8_t& tag, const uint8_t*& content, size_t& length, const uint8_t** whole = nullptr,
              size_t* wholeLength = nullptr);
    bool AtEnd() const { return p == end; }
};

}  // namespace kestrin::qevcrypto::der

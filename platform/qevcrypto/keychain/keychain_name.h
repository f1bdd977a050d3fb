// Names of the key store's slots: "tokkeychain:cert=<40 hexadecimal digits>"
// names one identity (by the SHA-1 of its certificate, digits in either
// case); every other "tokkeychain:" name ("tokkeychain:cfg=KVWC+KVC") holds
// all identities.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "zelk_result.h"

namespace kestrin::qevcrypto::keychain {

constexpr std::string_view kSlotPrefix = "tokkeychain:";
// The name of a keychain PSE that has no token; no slot has it.
constexpr std::string_view kNoTokenName = "tokkeychain:-";

using Sha1 = std::array<uint8_t, 20>;

struct SlotName {
    bool all = true;  // false: the one identity `sha1`
    Sha1 sha1 {};
};

// E_INVALIDARG for a name without the prefix, "tokkeychain:-", a "cert=" name
// whose value is not 40 hexadecimal digits, or a name with a NUL or longer
// than kMaxSlotName.
HRESULT ParseSlotName(std::string_view name, SlotName* out);

constexpr size_t kMaxSlotName = 4096;

// The lower-case hexadecimal text of bytes: a key identifier, a serial.
std::string HexLower(const uint8_t* bytes, size_t length);

}  // namespace kestrin::qevcrypto::keychain

// Whether a PC/SC reader holds a card, asked of pcsc-lite. The reader's event
// count tells one insertion from the next, so that objects made for a card
// that was taken out stay dead when another card (or the same) comes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelk_result.h"

namespace kestrin::qevcrypto::pcsc {

// pcsc-lite's longest reader name, with its NUL.
constexpr size_t kMaxReaderName = 128;

struct CardState {
    bool present = false;
    uint32_t insertion = 0;    // the reader's event count while the card is in
    std::vector<uint8_t> atr;  // empty without a card
};

// The reader's state now. E_TOKEN_NOCARD when pcsc-lite has no such reader or
// cannot be reached (no card can be used then).
HRESULT ReadCardState(const std::string& reader, CardState* out);

}  // namespace kestrin::qevcrypto::pcsc

// The slots the library opens by name ("SEC_PSE_1" slot 3): each kind of slot
// registers its name prefix ("tokkeychain:", ...) with one static object.
#pragma once

#include "qev_token.h"

namespace kestrin::qevcrypto {

using SlotOpenFn = HRESULT (*)(const char* name, SecSlot** out);

class SlotScheme {
public:
    // `prefix` is compared case-sensitively with the start of a slot name.
    SlotScheme(const char* prefix, SlotOpenFn open);
    SlotScheme(const SlotScheme&) = delete;
    SlotScheme& operator=(const SlotScheme&) = delete;

    const char* prefix;
    SlotOpenFn open;
    SlotScheme* next;
};

// The slot of that name: E_PSE_NOTFOUND (and *out NULL) for a name of no
// registered kind; otherwise its kind's answer.
HRESULT OpenSlot(const char* name, SecSlot** out);

}  // namespace kestrin::qevcrypto

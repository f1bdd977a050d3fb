// The library's codes for what a PKCS#11 module answers about a card and its
// PINs.
#pragma once

#include <p11-kit/pkcs11.h>

#include "zelk_result.h"

namespace kestrin::qevcrypto::pcsc {

// `tokenFlags` are the token's flags read after the call; for a wrong PIN of
// `user` they tell whether one try is left (bits 16 to 19 of the code).
HRESULT CardCode(CK_RV rv, CK_FLAGS tokenFlags, CK_USER_TYPE user);

// The tries left of the PIN of `user`: 1 on its final try, 0 when locked,
// -1 when the module does not say.
int PinTries(CK_FLAGS tokenFlags, CK_USER_TYPE user);

}  // namespace kestrin::qevcrypto::pcsc

// ZELK::ZELKPSE::Token: the PSE filled from one slot of the crypto library's
// module "secpse": the slot's token and its end-entity certificates that
// have a key identifier, as own certificates.
#pragma once

#include "pse_base.h"

namespace ZELK::ZELKPSE {

// Binds "SEC_PSE_1" of module "secpse" once; 0 when bound.
HRESULT ZELK_GetAPI_SEC_PSE();
HRESULT sec_pse_getSlot(SecSlot** out, const char* name);

class Token : public Base {
public:
    static HRESULT New(const char* name, PSE** out);

    // Opens the slot (when there is none yet, or `reopen`), takes its token
    // and builds the own list; the result replaces what the PSE held at once.
    HRESULT Init(const char* name, bool reopen);
};

}  // namespace ZELK::ZELKPSE

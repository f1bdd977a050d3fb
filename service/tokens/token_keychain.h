// A token of one key-store identity ("tokkeychain:" slots): it needs no PIN
// dialog; its verbs log it out and show its certificate.
#pragma once

#include "token.h"

ZELK_DEFINE_GUID(IID_CToken_Keychain, 0xE1ECE1D6, 0xF605, 0x4941, 0x93, 0xFE, 0x77, 0x35, 0x7E, 0xC0, 0x79, 0x25);

namespace ZELK::PSESVC {

class CToken_Keychain : public CToken, public CFactoryImpl<CToken_Keychain> {
public:
    ZELK_BEGIN_INTMAP(CToken_Keychain)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_Keychain)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CToken_Keychain; }

    IGUIModelToken_Type GetTokenType() override;
    const char* GetPolicyPath() override;
    HRESULT InitVerbs() override;
    using CVerbHost::InitVerbs;

    // A new token with one reference for the caller.
    static HRESULT New(CToken** out);
};

}  // namespace ZELK::PSESVC

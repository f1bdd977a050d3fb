// A token of the smart card in a PC/SC reader ("secpcsc:" slots): logged in
// with the card's PIN through the credential dialog.
#pragma once

#include "token.h"

ZELK_DEFINE_GUID(IID_CToken_PCSC, 0x88CF0375, 0x302A, 0x4F7B, 0x9D, 0x6D, 0x0B, 0x40, 0x60, 0x07, 0x5D, 0x2C);

namespace ZELK::PSESVC {

class CToken_PCSC : public CToken, public CFactoryImpl<CToken_PCSC> {
public:
    ZELK_BEGIN_INTMAP(CToken_PCSC)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_PCSC)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CToken_PCSC; }

    IGUIModelToken_Type GetTokenType() override;
    const char* GetPolicyPath() override;
    int Login(ICredUI* dialog) override;
    int ChangePin(ICredUI* dialog) override;
    int UnblockPin(ICredUI* dialog) override;
    HRESULT InitVerbs() override;
    using CVerbHost::InitVerbs;

    // A new token with one reference for the caller.
    static HRESULT New(CToken** out);
};

}  // namespace ZELK::PSESVC

// A token of any slot that is neither a key-store identity, a smart card nor
// an enrolment profile: the token base without verbs.
#pragma once

#include "token.h"

namespace ZELK::PSESVC {

class CTokenCommon : public CToken, public CFactoryImpl<CTokenCommon> {
public:
    ZELK_BEGIN_INTMAP(CTokenCommon)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    // A new token with one reference for the caller.
    static HRESULT New(CToken** out);
};

}  // namespace ZELK::PSESVC

// The models' way to a token: the token manager's look-up by name.
#include "../tokens/token.h"
#include "../tokens/token_manager.h"
#include "model_owncerts.h"

namespace ZELK::PSESVC {

HRESULT CModelOwnCertsBase::FindToken(const char* name, CToken** out)
{
    *out = nullptr;
    CTokenMgr* tokens = nullptr;
    if (name == nullptr || FAILED(CSingletonFactoryImpl<CTokenMgr>::New(&tokens)))
        return S_FALSE;
    HRESULT hr = tokens->GetTokenByName(name, out);
    static_cast<ISlotEvents*>(tokens)->Release();
    return SUCCEEDED(hr) && *out != nullptr ? S_OK : S_FALSE;
}

}  // namespace ZELK::PSESVC

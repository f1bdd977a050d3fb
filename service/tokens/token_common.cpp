#include "token_common.h"

#include "token_keychain.h"

namespace ZELK::PSESVC {
namespace {

template <class T>
HRESULT NewToken(CToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<T>* token = nullptr;
    HRESULT hr = CComObject<T>::CreateInstance(&token);
    if (FAILED(hr) || token == nullptr)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    token->AddRef();
    *out = token;
    return S_OK;
}

}  // namespace

HRESULT CTokenCommon::New(CToken** out)
{
    return NewToken<CTokenCommon>(out);
}

HRESULT CToken_Keychain::New(CToken** out)
{
    return NewToken<CToken_Keychain>(out);
}

IGUIModelToken_Type CToken_Keychain::GetTokenType()
{
    return TOKEN_TYPE_KEYCHAIN;
}

const char* CToken_Keychain::GetPolicyPath()
{
    return POL::COMMON::CAPI::REG_PATH;
}

HRESULT CToken_Keychain::InitVerbs()
{
    // "verb.reauth" of an identity only logs out: the key store asks for
    // its own password when a key is used again.
    static const VerbTableRow<CToken_Keychain> s_aVerbs[] = {
        {"verb.logout", 0x2, &CToken_Keychain::Logout},
        {"verb.show.cert", 0x1, &CToken_Keychain::ShowCert},
        {"verb.reauth", 0x10, &CToken_Keychain::Logout},
        {nullptr, 0, nullptr},
    };
    return CreateVerbs(this, s_aVerbs);
}

}  // namespace ZELK::PSESVC

#include "token_pcsc.h"

namespace ZELK::PSESVC {

HRESULT CToken_PCSC::New(CToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CToken_PCSC>* token = nullptr;
    HRESULT hr = CComObject<CToken_PCSC>::CreateInstance(&token);
    if (FAILED(hr) || token == nullptr)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    token->AddRef();
    *out = token;
    return S_OK;
}

IGUIModelToken_Type CToken_PCSC::GetTokenType()
{
    return TOKEN_TYPE_SMARTCARD;
}

const char* CToken_PCSC::GetPolicyPath()
{
    return POL::COMMON::PCSC::REG_PATH;
}

int CToken_PCSC::Login(ICredUI* dialog)
{
    return CToken::Login(dialog);
}

int CToken_PCSC::ChangePin(ICredUI* dialog)
{
    return CToken::ChangePin(dialog);
}

int CToken_PCSC::UnblockPin(ICredUI* dialog)
{
    return CToken::UnblockPin(dialog);
}

HRESULT CToken_PCSC::InitVerbs()
{
    static const VerbTableRow<CToken_PCSC> s_aVerbs[] = {
        {"verb.login", 0x2, &CToken_PCSC::Login},
        {"verb.logout", 0x4, &CToken_PCSC::Logout},
        {"verb.show.cert", 0x1, &CToken_PCSC::ShowCert},
        {"verb.reauth", 0x10, &CToken_PCSC::Reauth},
        {nullptr, 0, nullptr},
    };
    return CreateVerbs(this, s_aVerbs);
}

}  // namespace ZELK::PSESVC

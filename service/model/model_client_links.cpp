// Where the client and connection records reach the rest of the service: the
// token rows of a connection's URI, their own certificates and automatic
// logout, the temporary keys, and the group
// "zelk.model.clients.and.connections".
#include <cstring>

#include "../tokens/token_manager.h"
#include "model_clients.h"
#include "model_eom.h"
#include "model_filter.h"
#include "model_tempkeys.h"
#include "model_tokens.h"
#include "zelk_class.h"

namespace ZELK::PSESVC {
namespace {

class CModelGroupClientsAndConnections : public CModelGroup,
                                         public CSingletonFactoryImpl<CModelGroupClientsAndConnections> {
public:
    CModelGroupClientsAndConnections()
    {
        AddGroupMember("zelk.clients");
        AddGroupMember("zelk.connections");
    }
};

CZELK_CLASS s_group("zelk", "zelk.model.clients.and.connections",
                    &CSingletonFactoryImpl<CModelGroupClientsAndConnections>::New);

}  // namespace

HRESULT ConnectionTokenModel(const char* uri, IGUIModel** out)
{
    *out = nullptr;
    if (std::strcmp(uri, "kerberos:") == 0)
        return CZELK_CLASS::CreateObject("zelk", "zelk.kerberosinfo", IID_IGUIModel, reinterpret_cast<void**>(out));
    if (std::strcmp(uri, "eom:") == 0)
        return CModelEncryptionOnlyMode::New<IGUIModel>(out);
    CModelTokens* tokens = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelTokens>::New(&tokens);
    if (FAILED(hr))
        return hr;
    CModelToken* row = nullptr;
    hr = tokens->GetToken(uri, &row);
    if (hr == S_OK && row != nullptr)
        *out = static_cast<IGUIModelToken*>(row);
    tokens->Release();
    return *out != nullptr ? S_OK : S_FALSE;
}

HRESULT ConnectionTokenPCI(const char* uri, SET_OF_PersonalCertificateInfo** out)
{
    CTokenMgr* tokens = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(hr))
        return hr;
    CToken* token = nullptr;
    hr = tokens->GetTokenByName(uri, &token);
    tokens->Release();
    if (FAILED(hr) || token == nullptr)
        return hr;
    hr = token->GetPCI(out);
    token->Release();
    return hr;
}

void StartTokenAutoLogout(const char* uri)
{
    CModelTokens* tokens = nullptr;
    if (FAILED(CSingletonFactoryImpl<CModelTokens>::New(&tokens)))
        return;
    tokens->StartAutoLogoutTask(uri);
    tokens->Release();
}

void TempKeysClientStop(CModelClient* client)
{
    CModelApplicationTempKeys::ClientStop(client);
}

void TempKeyConnectionGone(IUnknown* key)
{
    auto* tempKey = static_cast<CModelApplicationTempKey*>(key);
    tempKey->DecrementUsageCount();
    tempKey->Release();
}

}  // namespace ZELK::PSESVC

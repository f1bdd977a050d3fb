// The service's TLS connection factory: its identity is the local-server
// profile's, found among the token manager's enrolment-profile tokens. Tests
// register factories of their own under the class name.
#include <strings.h>

#include "../tokens/token_kv_persistent.h"
#include "../tokens/token_manager.h"
#include "tls_connection_factory.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::WEBCLIENT {
namespace {

constexpr const char* TRACE_MODULE = "webadapter";
constexpr const char* kLocalServerType = "hearthgate";

// The first "hearthgate" profile token that is a local-server token, with a
// reference; NULL when there is none.
CToken_LocalServer* FindLocalServerToken()
{
    CTokenMgr* tokens = nullptr;
    if (FAILED(CTokenMgr::GetExisting(&tokens)) || tokens == nullptr)
        return nullptr;
    CToken_LocalServer* server = nullptr;
    for (unsigned long i = 0; server == nullptr; ++i) {
        CToken_KV* token = nullptr;
        if (FAILED(tokens->GetAllKVSTokens(i, &token)) || token == nullptr)
            break;
        const char* type = token->GetProfileType();
        if (type != nullptr && strcasecmp(type, kLocalServerType) == 0
            && FAILED(
                static_cast<CToken*>(token)->QueryInterface(IID_CToken_LocalServer, reinterpret_cast<void**>(&server))))
            server = nullptr;
        static_cast<CToken*>(token)->Release();
    }
    tokens->Release();
    return server;
}

class CLocalServerTLSFactory : public CTLSConnectionFactory {
protected:
    HRESULT EnrollLocalhostProfile() override
    {
        CToken_LocalServer* server = FindLocalServerToken();
        if (server == nullptr) {
            SECTRACE_WriteLn(TRACE_MODULE, 1, "No Kestrin Local Server Certificate Profile found!");
            return E_FAIL;
        }
        HRESULT hr = server->NeedLogin() ? server->DoVerbByName("verb.login") : S_OK;
        char* name = nullptr;
        if (SUCCEEDED(hr))
            hr = server->GetMemPSE(&name);
        int port = -1;
        if (SUCCEEDED(hr))
            hr = server->GetPort(&port);
        if (SUCCEEDED(hr)) {
            const std::string credential = std::string("toksw:") + (name != nullptr ? name : "");
            SetIdentity(name, credential.c_str(), port);
        }
        sec_free(name);
        static_cast<CToken*>(server)->Release();
        return hr;
    }
};

CZELK_CLASS s_tlsFactoryClass("zelk", TLS_FACTORY_CLASS, &CTLSConnectionFactory::NewOf<CLocalServerTLSFactory>);

}  // namespace
}  // namespace ZELK::PSESVC::WEBCLIENT

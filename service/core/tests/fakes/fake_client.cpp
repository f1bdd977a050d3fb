// Link-time stand-in for the clients model.
#include "fake_client.h"

#include <mutex>

#include "model/model_clients.h"
#include "zelk_object.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::ICredUI;

std::mutex s_clientMutex;
std::string s_url;
std::string s_description;
ICredUI* s_dialog = nullptr;

class Client : public ZELK::PSESVC::CModelClient, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Client)
    ZELK_INTMAP_ENTRY_IID(IID_CModelClient, ZELK::PSESVC::CModelClient)
    ZELK_END_INTMAP()

    HRESULT GetCredUi(ICredUI** out) override
    {
        std::lock_guard<std::mutex> lock(s_clientMutex);
        *out = s_dialog;
        if (s_dialog)
            s_dialog->AddRef();
        return S_OK;
    }
    const char* GetURL() override { return s_url.c_str(); }
    const char* GetDescription() override { return s_description.c_str(); }
};

}  // namespace

void FakeClient::Set(const std::string& url, const std::string& description, ICredUI* dialog)
{
    Clear();
    std::lock_guard<std::mutex> lock(s_clientMutex);
    s_url = url;
    s_description = description;
    s_dialog = dialog;
    if (dialog)
        dialog->AddRef();
}

void FakeClient::Clear()
{
    std::lock_guard<std::mutex> lock(s_clientMutex);
    s_url.clear();
    s_description.clear();
    if (s_dialog)
        s_dialog->Release();
    s_dialog = nullptr;
}

}  // namespace kestrin::service::test

namespace ZELK::PSESVC {

HRESULT CModelClients::ClientConnect(const char*, unsigned int)
{
    return E_FAIL;
}

HRESULT CModelClients::ClientDisconnect(const char*, unsigned int)
{
    return E_FAIL;
}

HRESULT CModelClients::ClientActive(const char*, unsigned int)
{
    return E_FAIL;
}

HRESULT CModelClients::GetActiveClient(CModelClient** out)
{
    std::lock_guard<std::mutex> lock(kestrin::service::test::s_clientMutex);
    *out = nullptr;
    if (kestrin::service::test::s_url.empty())
        return S_OK;
    CComObject<kestrin::service::test::Client>* client = nullptr;
    CComObject<kestrin::service::test::Client>::CreateInstance(&client);
    client->AddRef();
    *out = client;
    return S_OK;
}

}  // namespace ZELK::PSESVC

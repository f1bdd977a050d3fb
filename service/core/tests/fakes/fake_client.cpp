// The calling thread's active client of the service's tests, made with the
// real client records.
#include "fake_client.h"

#include "model/model_clients.h"

namespace kestrin::service::test {
namespace {

constexpr unsigned kPid = 0x7FFFFFF0;

}  // namespace

void FakeClient::Set(const std::string& url, const std::string& description, ZELK::PSESVC::ICredUI* dialog)
{
    Clear();
    using ZELK::PSESVC::CModelClient;
    using ZELK::PSESVC::CModelClients;
    CModelClients::ClientConnect("/usr/bin/test-client", kPid);
    CModelClients::ClientActive("/usr/bin/test-client", kPid);
    CModelClient* client = nullptr;
    if (SUCCEEDED(CModelClients::GetActiveClient(&client)) && client != nullptr) {
        client->SetURL(url.c_str());
        client->SetDescription(description.c_str());
        client->SetCredUi(dialog);
        static_cast<ZELK::PSESVC::IGUIModelClient*>(client)->Release();
    }
}

void FakeClient::Clear()
{
    ZELK::PSESVC::CModelClients::ClientDisconnect("/usr/bin/test-client", kPid);
}

}  // namespace kestrin::service::test

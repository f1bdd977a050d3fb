// The local-server row and its one-element container: the texts, icons and
// verb states for each state of the server; showing, hiding and showing
// again the same item; the container's refusals before the row exists; two
// callers listing the row once; the update verb inside the token's gate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_dialog.h"
#include "model/model_localserver.h"
#include "qev_values.h"
#include "service_fixture.h"
#include "test_process.h"
#include "tokens/token_kv_persistent.h"
#include "zelk_alloc.h"
#include "zelk_class.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;
using kestrin::service::test::Dialogs;
using kestrin::testsupport::MakeLocalhostIdentity;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

// A local-server token whose update only counts and waits for the test.
class UpdatingToken : public CToken_LocalServer {
public:
    HRESULT Update(ICredUI*) override
    {
        int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, std::chrono::seconds(30), [&] { return release; });
        --running;
        ++updates;
        return S_OK;
    }
    bool HaveCerts() override { return certs; }

    std::atomic<int> running {0};
    std::atomic<int> most {0};
    std::atomic<int> updates {0};
    std::mutex mutex;
    std::condition_variable released;
    bool release = true;
    bool certs = false;
};

class LocalServerModel : public kestrin::service::test::ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        Dialogs::Reset();
    }

    static std::string Row(IGUIModelItem* item, IGUIItem_Icon* icon)
    {
        char* text = nullptr;
        EXPECT_EQ(item->GetItemInfo(icon, &text), S_OK);
        std::string row = text != nullptr ? text : "";
        sec_free(text);
        return row;
    }

    static IGUIModelContainer* Container()
    {
        IGUIModelContainer* container = nullptr;
        EXPECT_EQ(CZELK_CLASS::CreateObject("zelk", "zelk.localservers", IID_IGUIModelContainer,
                                            reinterpret_cast<void**>(&container)),
                  S_OK);
        return container;
    }

    static IGUIModelLocalServer* Row(IGUIModelContainer* container)
    {
        IGUIModelLocalServer* row = nullptr;
        container->GetElement(0, IID_IGUIModelLocalServer, reinterpret_cast<void**>(&row));
        return row;
    }

    static IGUIVerb* Verb(IGUIModelLocalServer* row, const char* name)
    {
        IGUIVerbs* verbs = nullptr;
        EXPECT_EQ(row->QueryInterface(IID_IGUIVerbs, reinterpret_cast<void**>(&verbs)), S_OK);
        IGUIVerb* found = nullptr;
        for (unsigned long i = 0; verbs != nullptr && i < verbs->GetVerbCount(); ++i) {
            IGUIVerb* verb = nullptr;
            if (verbs->GetVerb(i, &verb) == S_OK && std::string(verb->GetVerbName()) == name && found == nullptr)
                found = verb;
            else if (verb != nullptr)
                verb->Release();
        }
        if (verbs != nullptr)
            verbs->Release();
        return found;
    }

    static Certificate* MakeCert(const std::string& folder)
    {
        if (!MakeLocalhostIdentity(folder)
            || RunProgram(
                   {"openssl", "x509", "-in", folder + "/cert.pem", "-outform", "DER", "-out", folder + "/c.der"}, {})
                   != 0)
            return nullptr;
        std::ifstream f(folder + "/c.der", std::ios::binary);
        std::vector<unsigned char> der {std::istreambuf_iterator<char>(f), {}};
        OctetString octets {der.size(), der.data()};
        void* out = nullptr;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&octets, &out);
        return static_cast<Certificate*>(out);
    }
};

TEST_F(LocalServerModel, RowFollowsTheServerAndComesBackWithItsState)
{
    // Before the row exists, a message has nowhere to go and nothing is made.
    EXPECT_EQ(CModelLocalServers::SetMessage(L"early", false), E_FAIL);
    EXPECT_EQ(CModelLocalServers::StopLocalServer(), S_OK);

    IGUIModelContainer* container = Container();
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(container->GetElementCount(), 0u);
    const int64_t empty = container->GetRevision();
    ASSERT_EQ(CModelLocalServers::EnableLocalServer(), S_OK);
    ASSERT_EQ(CModelLocalServers::EnableLocalServer(), S_OK);
    EXPECT_EQ(container->GetElementCount(), 1u);
    EXPECT_EQ(container->GetRevision(), empty + 1) << "a second enable changes nothing";

    IGUIModelLocalServer* row = Row(container);
    ASSERT_NE(row, nullptr);
    IGUIItem_Icon icon = ICON_NONE;
    std::string title = Row(row, &icon);
    EXPECT_EQ(icon, ICON_LOCALSERVER);
    EXPECT_EQ(title.find('\n'), std::string::npos) << title;
    EXPECT_STREQ(row->ItemGetKey(), "900/Hearthgate");
    IGUIVerb* show = Verb(row, "verb.show.cert");
    IGUIVerb* update = Verb(row, "verb.update");
    ASSERT_NE(show, nullptr);
    ASSERT_NE(update, nullptr);
    // Without a token: update is the default, the certificate is hidden.
    EXPECT_EQ(show->GetState(), IGUIVerb_State_Hidden);
    EXPECT_EQ(update->GetState(), IGUIVerb_State_Default);

    // Showing the certificate while stopped asks no dialog at all.
    ICredUI* dialog = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
    const size_t quiet = Dialogs::Log().size();
    EXPECT_EQ(show->DoVerb(dialog), 0);
    EXPECT_EQ(Dialogs::Log().size(), quiet);

    TempFolder folder("localserver-model");
    Certificate* cert = MakeCert(folder.path());
    ASSERT_NE(cert, nullptr);
    ASSERT_EQ(CModelLocalServers::StartLocalServer(cert, 44300), S_OK);
    ASSERT_EQ(CModelLocalServers::SetMessage(L"Running", false), S_OK);
    EXPECT_EQ(Row(row, &icon), title + "\nRunning\nPort: 44300");
    EXPECT_EQ(icon, ICON_LOCALSERVER_ACTIVE);
    EXPECT_EQ(row->GetPort(), 44300);
    EXPECT_EQ(row->GetCert(), cert);
    const int before = static_cast<int>(Dialogs::Log().size());
    EXPECT_EQ(show->DoVerb(dialog), 0);
    std::vector<std::string> log = Dialogs::Log();
    EXPECT_GT(static_cast<int>(log.size()), before) << "the certificate went to the dialog";
    cert->Release();

    // A warning turns the icon while the certificate is still held.
    ASSERT_EQ(CModelLocalServers::SetMessage(L"Port in use", true), S_OK);
    EXPECT_EQ(Row(row, &icon), title + "\nPort in use\nPort: 44300");
    EXPECT_EQ(icon, ICON_LOCALSERVER);
    EXPECT_TRUE(row->IsWarning());

    // Hidden and shown again: the same item with its state.
    const int64_t shown = container->GetRevision();
    ASSERT_EQ(CModelLocalServers::DisableLocalServer(), S_OK);
    EXPECT_EQ(container->GetElementCount(), 0u);
    EXPECT_EQ(container->GetRevision(), shown + 1);
    ASSERT_EQ(CModelLocalServers::DisableLocalServer(), S_OK);
    EXPECT_EQ(container->GetRevision(), shown + 1) << "an empty container stays as it is";
    EXPECT_EQ(CModelLocalServers::SetMessage(L"hidden", false), E_FAIL);
    ASSERT_EQ(CModelLocalServers::EnableLocalServer(), S_OK);
    IGUIModelLocalServer* again = Row(container);
    EXPECT_EQ(again, row);
    EXPECT_EQ(again->GetPort(), 44300);
    EXPECT_STREQ(again->GetMessage(), L"Port in use");
    again->Release();

    ASSERT_EQ(CModelLocalServers::StopLocalServer(), S_OK);
    EXPECT_EQ(row->GetPort(), 0);
    EXPECT_EQ(row->GetCert(), nullptr);
    EXPECT_EQ(Row(row, &icon), title + "\nPort in use");

    show->Release();
    update->Release();
    dialog->Release();
    row->Release();
    container->Release();
}

TEST_F(LocalServerModel, UpdatesRunOneAtATimeThroughTheTokensGate)
{
    CComObject<UpdatingToken>* token = nullptr;
    ASSERT_EQ(CComObject<UpdatingToken>::CreateInstance(&token), S_OK);
    static_cast<CToken*>(token)->AddRef();
    token->certs = true;
    token->release = false;
    ASSERT_EQ(CModelLocalServers::SetToken(token), S_OK);
    IGUIModelContainer* container = Container();
    ASSERT_NE(container, nullptr);
    IGUIModelLocalServer* row = Row(container);
    ASSERT_NE(row, nullptr);
    IGUIVerb* show = Verb(row, "verb.show.cert");
    IGUIVerb* update = Verb(row, "verb.update");
    ASSERT_NE(update, nullptr);
    // A token with its certificate: showing it is the default.
    EXPECT_EQ(show->GetState(), IGUIVerb_State_Default);
    EXPECT_EQ(update->GetState(), 0u);

    std::vector<std::thread> runs;
    for (int i = 0; i < 2; ++i)
        runs.emplace_back([&] { update->DoVerb(nullptr); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (token->running.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        std::lock_guard<std::mutex> lock(token->mutex);
        token->release = true;
    }
    token->released.notify_all();
    for (std::thread& run : runs)
        run.join();
    EXPECT_EQ(token->updates.load(), 2);
    EXPECT_EQ(token->most.load(), 1) << "two updates ran at once";

    // A token busy with its own verb holds the row's verb back.
    ASSERT_EQ(static_cast<CToken*>(token)->DoVerbBegin(nullptr), S_OK);
    std::thread held([&] { update->DoVerb(nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(token->updates.load(), 2);
    static_cast<CToken*>(token)->DoVerbEnd(nullptr);
    held.join();
    EXPECT_EQ(token->updates.load(), 3);

    ASSERT_EQ(CModelLocalServers::SetToken(nullptr), S_OK);
    EXPECT_EQ(show->GetState(), IGUIVerb_State_Hidden);
    EXPECT_EQ(update->GetState(), IGUIVerb_State_Default);
    show->Release();
    update->Release();
    row->Release();
    container->Release();
    static_cast<CToken*>(token)->Release();
}

TEST_F(LocalServerModel, CallersAtOnceListTheRowOnce)
{
    IGUIModelContainer* container = Container();
    ASSERT_NE(container, nullptr);
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i)
        callers.emplace_back([] {
            for (int j = 0; j < 50; ++j) {
                CModelLocalServers::EnableLocalServer();
                CModelLocalServers::SetMessage(L"busy", false);
            }
        });
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(container->GetElementCount(), 1u);
    container->Release();
}

}  // namespace
}  // namespace kestrin::model::test

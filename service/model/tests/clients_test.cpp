// Client and connection records: sessions per process, connections started
// and stopped by name, ids, the token URI's row and its automatic logout on
// the real scheduler, a client's stop while the broker still holds its
// connections, a removed active client, and a reused process id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/task_manager.h"
#include "model/model_clients.h"
#include "model/model_eom.h"
#include "model/model_tokens.h"
#include "model_fixture.h"
#include "zelk_class.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

IUnknown* U(CModelClient* c)
{
    return static_cast<IGUIModelClient*>(c);
}
IUnknown* U(CModelApplicationConnection* c)
{
    return static_cast<IGUIModelApplicationConnection*>(c);
}

std::atomic<int> s_logouts {0};
int Logout(unsigned long)
{
    ++s_logouts;
    return 0;
}

class ClientsTest : public ModelTest {
protected:
    void TearDown() override
    {
        CModelClients::SetStartTimeReader(nullptr);
        ModelTest::TearDown();
    }

    static IGUIModelContainer* List(const char* name)
    {
        IGUIModelContainer* list = nullptr;
        EXPECT_EQ(CZELK_CLASS::CreateObject("zelk", name, IID_IGUIModelContainer, reinterpret_cast<void**>(&list)),
                  S_OK);
        return list;
    }
    static CModelClient* Active()
    {
        CModelClient* client = nullptr;
        EXPECT_EQ(CModelClients::GetActiveClient(&client), S_OK);
        return client;
    }
};

TEST_F(ClientsTest, SessionsOfOneProcessShareARecordUntilTheLastEnds)
{
    CModelClient* none = reinterpret_cast<CModelClient*>(1);
    EXPECT_EQ(CModelClients::GetActiveClient(&none), E_FAIL);
    EXPECT_EQ(CModelClients::ClientActive("/usr/bin/mail", 4100), E_FAIL);
    EXPECT_EQ(CModelClients::StartApplication("x", "eom:", nullptr, nullptr), E_FAIL);

    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/mail", 4100), S_OK);
    IGUIModelContainer* clients = List("zelk.clients");
    const int64_t revision = clients->GetRevision();
    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/mail", 4100), S_OK);
    EXPECT_EQ(clients->GetRevision(), revision);  // the second session is no news
    ASSERT_EQ(clients->GetElementCount(), 1u);

    EXPECT_EQ(CModelClients::StartApplication("x", "eom:", nullptr, nullptr), E_FAIL);  // no active client yet
    ASSERT_EQ(CModelClients::ClientActive("/usr/bin/mail", 4100), S_OK);
    CModelClient* client = Active();
    ASSERT_NE(client, nullptr);
    EXPECT_STREQ(client->GetProcessName(), L"mail");
    EXPECT_TRUE(client->IsInProcessList("firefox;MAIL;thunderbird"));
    EXPECT_TRUE(client->IsInProcessList("xxxMaIlxxx"));
    EXPECT_FALSE(client->IsInProcessList(""));

    unsigned first = 0;
    unsigned second = 0;
    CModelApplicationConnection* connection = nullptr;
    ASSERT_EQ(CModelClients::StartApplication("p:CN=host", "eom:", &first, &connection), S_OK);
    ASSERT_EQ(CModelClients::StartApplication("p:CN=host", "eom:", &second, nullptr), S_OK);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(client->GetApplicationCount(), 2u);
    EXPECT_EQ(connection->GetUsageCount(), 1);
    IGUIModelEncryptionOnlyMode* eom = nullptr;
    EXPECT_EQ(connection->GetToken(IID_IGUIModelEncryptionOnlyMode, reinterpret_cast<void**>(&eom)), S_OK);
    ASSERT_NE(eom, nullptr);
    eom->Release();
    EXPECT_EQ(client->Compare(static_cast<IGUIModelApplicationConnection*>(connection)), -1);
    EXPECT_EQ(connection->Compare(static_cast<IGUIModelClient*>(client)), 1);

    // One session ends: everything stays.
    ASSERT_EQ(CModelClients::ClientDisconnect("/usr/bin/mail", 4100), S_OK);
    EXPECT_EQ(clients->GetElementCount(), 1u);
    IGUIModelContainer* connections = List("zelk.connections");
    EXPECT_EQ(connections->GetElementCount(), 2u);
    // The last one ends: the record goes and its connections with it; the
    // connection the caller holds has left its client.
    ASSERT_EQ(CModelClients::ClientDisconnect("/usr/bin/mail", 4100), S_OK);
    EXPECT_EQ(clients->GetElementCount(), 0u);
    EXPECT_EQ(connections->GetElementCount(), 0u);
    EXPECT_EQ(connection->GetUsageCount(), 0);
    IGUIModelClient* owner = reinterpret_cast<IGUIModelClient*>(1);
    EXPECT_EQ(connection->GetClient(&owner), E_FAIL);
    EXPECT_EQ(owner, nullptr);
    const int64_t before = connections->GetRevision();
    EXPECT_EQ(connection->ConnectionClosed(), S_OK);
    EXPECT_EQ(CModelApplicationConnections::UnregisterConnection(connection), S_OK);
    EXPECT_EQ(connections->GetRevision(), before);
    U(connection)->Release();
    U(client)->Release();
    connections->Release();
    clients->Release();
}

TEST_F(ClientsTest, StoppingByNameAndTheLastConnectionOfATokenLogsItOut)
{
    CTaskManager* tasks = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CTaskManager>::New(&tasks), S_OK);
    s_logouts = 0;
    ASSERT_EQ(tasks->AddTask("logout.tok:a", &Logout, 0, CTaskManager::kNever, 0, false), S_OK);
    CModelToken* token = nullptr;
    ASSERT_EQ(CModelTokens::NewTokenInfo("tok:a", &token), S_OK);
    token->SetAutoLogoutTask("logout.tok:a");
    ASSERT_EQ(CModelTokens::RegisterToken(token), S_OK);

    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/mail", 4200), S_OK);
    ASSERT_EQ(CModelClients::ClientActive("/usr/bin/mail", 4200), S_OK);
    CModelApplicationConnection* a = nullptr;
    CModelApplicationConnection* b = nullptr;
    CModelApplicationConnection* k = nullptr;
    ASSERT_EQ(CModelClients::StartApplication("host", "tok:a", nullptr, &a), S_OK);
    ASSERT_EQ(CModelClients::StartApplication("host", "tok:a", nullptr, &b), S_OK);
    ASSERT_EQ(CModelClients::StartApplication("krb", "kerberos:", nullptr, &k), S_OK);
    IGUIModelToken* row = nullptr;
    ASSERT_EQ(a->GetToken(IID_IGUIModelToken, reinterpret_cast<void**>(&row)), S_OK);
    EXPECT_STREQ(row->GetTokenName(), "tok:a");
    row->Release();

    CModelApplicationConnection* found = nullptr;
    ASSERT_EQ(CModelApplicationConnections::GetConnection(b->GetConnectionId(), &found), S_OK);
    EXPECT_EQ(found, b);
    U(found)->Release();
    EXPECT_EQ(CModelApplicationConnections::GetConnection(0xFFFFFFF, &found), E_FAIL);

    // The first of two is stopped; its URI is still used: no logout.
    ASSERT_EQ(CModelClients::StopApplication("host", "tok:a"), S_OK);
    EXPECT_EQ(a->GetUsageCount(), 0);
    EXPECT_EQ(b->GetUsageCount(), 1);
    EXPECT_EQ(CModelApplicationConnections::GetConnection(a->GetConnectionId(), &found), E_FAIL);
    // NULL stands for "kerberos:".
    ASSERT_EQ(CModelClients::StopApplication("krb", nullptr), S_OK);
    EXPECT_EQ(k->GetUsageCount(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s_logouts, 0);
    // The broker's close of the last one starts the token's logout.
    EXPECT_EQ(b->ConnectionClosed(), S_OK);
    EXPECT_TRUE(kestrin::service::test::WaitFor([] { return s_logouts == 1; }));
    CModelClient* client = Active();
    EXPECT_EQ(client->GetApplicationCount(), 0u);
    U(client)->Release();
    for (auto* c : {a, b, k})
        U(c)->Release();
    static_cast<IGUIModelToken*>(token)->Release();
    tasks->Release();
    EXPECT_EQ(CModelClients::ClientDisconnect("/usr/bin/mail", 4200), S_OK);
}

TEST_F(ClientsTest, ARemovedClientIsNoThreadsActiveClient)
{
    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/mail", 4300), S_OK);
    ASSERT_EQ(CModelClients::ClientActive("/usr/bin/mail", 4300), S_OK);
    CModelClient* client = Active();
    ASSERT_NE(client, nullptr);
    client->SetURL("https://one.example/");
    // Another thread's disconnect ends the process's last session.
    std::thread([] { CModelClients::ClientDisconnect("/usr/bin/mail", 4300); }).join();
    EXPECT_EQ(Active(), nullptr);
    EXPECT_EQ(CModelClients::StartApplication("x", "eom:", nullptr, nullptr), E_FAIL);
    EXPECT_STREQ(client->GetURL(), "https://one.example/");  // the caller's reference still holds it
    U(client)->Release();
}

TEST_F(ClientsTest, ConcurrentSessionsClosesAndStopsKeepTheBooksStraight)
{
    // Each thread is a process that starts connections, closes some through
    // the broker's way and ends its session while a reader walks both lists.
    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/first", 1), S_OK);
    IGUIModelContainer* clients = List("zelk.clients");
    std::atomic<bool> done {false};
    std::thread reader([&] {
        while (!done) {
            for (unsigned long i = 0; i < clients->GetElementCount(); ++i) {
                IGUIModelClient* client = nullptr;
                if (clients->GetElement(i, IID_IGUIModelClient, reinterpret_cast<void**>(&client)) == S_OK) {
                    for (unsigned long j = 0; j < client->GetApplicationCount(); ++j)
                        client->GetApplication(j);
                    client->Release();
                }
            }
        }
    });
    std::vector<std::thread> processes;
    for (unsigned p = 0; p < 8; ++p) {
        processes.emplace_back([p] {
            const unsigned pid = 5000 + p;
            for (int round = 0; round < 20; ++round) {
                CModelClients::ClientConnect("/usr/bin/app", pid);
                CModelClients::ClientActive("/usr/bin/app", pid);
                CModelApplicationConnection* held = nullptr;
                for (int i = 0; i < 4; ++i) {
                    CModelApplicationConnection* c = nullptr;
                    CModelClients::StartApplication("host", i % 2 ? "eom:" : "tok:x", nullptr, &c);
                    if (held == nullptr) {
                        held = c;
                    } else if (c != nullptr) {
                        std::thread([c] { c->ConnectionClosed(); }).join();
                        U(c)->Release();
                    }
                }
                CModelClients::StopApplication("host", "eom:");
                CModelClients::ClientDisconnect("/usr/bin/app", pid);
                // The broker closes what it still holds after the process went.
                if (held != nullptr) {
                    held->ConnectionClosed();
                    U(held)->Release();
                }
            }
        });
    }
    for (auto& t : processes)
        t.join();
    done = true;
    reader.join();
    EXPECT_EQ(clients->GetElementCount(), 1u);
    IGUIModelContainer* connections = List("zelk.connections");
    EXPECT_EQ(connections->GetElementCount(), 0u);
    connections->Release();
    clients->Release();
    EXPECT_EQ(CModelClients::ClientDisconnect("/usr/bin/first", 1), S_OK);
}

uint64_t s_started = 1;
uint64_t StartTime(unsigned)
{
    return s_started;
}

TEST_F(ClientsTest, AReusedProcessIdGetsAFreshRecord)
{
    CModelClients::SetStartTimeReader(&StartTime);
    s_started = 1000;
    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/old", 4400), S_OK);
    ASSERT_EQ(CModelClients::ClientActive("/usr/bin/old", 4400), S_OK);
    CModelClient* old = Active();
    old->SetURL("https://old.example/");
    old->SetCredUi(nullptr);
    ASSERT_EQ(CModelClients::StartApplication("host", "eom:", nullptr, nullptr), S_OK);

    // The old process died without a disconnect; a new one got its id.
    s_started = 2000;
    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/new", 4400), S_OK);
    ASSERT_EQ(CModelClients::ClientActive("/usr/bin/new", 4400), S_OK);
    CModelClient* fresh = Active();
    ASSERT_NE(fresh, old);
    EXPECT_STREQ(fresh->GetProcessName(), L"new");
    EXPECT_STREQ(fresh->GetURL(), "");
    EXPECT_EQ(old->GetApplicationCount(), 0u);
    IGUIModelContainer* clients = List("zelk.clients");
    EXPECT_EQ(clients->GetElementCount(), 1u);
    clients->Release();
    U(fresh)->Release();
    U(old)->Release();
    EXPECT_EQ(CModelClients::ClientDisconnect("/usr/bin/new", 4400), S_OK);
}

TEST_F(ClientsTest, ARealProcessHasAStartTimeAndOddPathsGiveNames)
{
    // This process's own record reads its start time from /proc.
    CModelClient* self = nullptr;
    ASSERT_EQ(CModelClient::New(&self, static_cast<unsigned>(getpid()), "/proc/self/exe"), S_OK);
    EXPECT_NE(self->GetStartTime(), 0u);
    U(self)->Release();
    const struct {
        unsigned pid;
        const char* path;
        const wchar_t* name;
    } cases[] = {{0, nullptr, L""},
                 {0, "", L""},
                 {1, "/", L""},
                 {2, "plain", L"plain"},
                 {3, "/a/b/\xC3\xA9t\xC3\xA9", L"\u00e9t\u00e9"},
                 {4, "/x/\xFF\xFE", L"\uFFFD\uFFFD"}};
    for (const auto& c : cases) {
        CModelClient* client = nullptr;
        ASSERT_EQ(CModelClient::New(&client, c.pid, c.path), S_OK);
        EXPECT_STREQ(client->GetProcessName(), c.name) << c.pid;
        U(client)->Release();
    }
    std::string longPath(70000, 'a');
    CModelClient* client = nullptr;
    ASSERT_EQ(CModelClient::New(&client, 5, ("/" + longPath).c_str()), S_OK);
    EXPECT_EQ(std::wstring(client->GetProcessName()).size(), longPath.size());
    U(client)->Release();
}

}  // namespace
}  // namespace kestrin::model::test

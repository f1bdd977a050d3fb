// The profile token monitor over profiles in temporary XDG folders, the real
// reader manager, token manager (with a profile-token creator of the test's
// own) and scheduler, the crypto library's "toksw:" slots, and an enrolment
// client module whose presence the test decides.
#include "kv_token_monitor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reader_manager.h"
#include "service_fixture.h"
#include "token_common.h"
#include "token_manager.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_policy_client.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CKVTokenMonitor;
using ZELK::PSESVC::CMonitor;
using ZELK::PSESVC::CReaderMgr;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CTokenCommon;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::IGUIModelContainer;

constexpr const char* kUri = "toksw:mem://kestrin/";
constexpr const char* kUserUri = "toksw:mem://kestrin/user/";

std::mutex s_lock;
std::vector<std::string> s_created;

HRESULT CreateProfileToken(const char* uri, CToken** out)
{
    {
        std::lock_guard<std::mutex> lock(s_lock);
        s_created.push_back(uri);
    }
    return CTokenCommon::New(out);
}

struct TEST_KVLOGIN_TABLE : API_COMMON {
    void (*SetDownload)(HRESULT (*download)(const char*, unsigned int, const char*));
    void (*SetClientPresent)(bool present);
    int (*ClientCount)();
};

class KVTokenMonitor : public ServiceTest {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zelkkvmon-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_home = tmpl;
        setenv("XDG_CONFIG_HOME", (m_home + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_home + "/system").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_home + "/data").c_str(), 1);
        ServiceTest::SetUp();
        {
            std::lock_guard<std::mutex> lock(s_lock);
            s_created.clear();
        }
        ASSERT_EQ(ZELK_GetAPI("zelkkvlogin", "zelkkvlogin.test", &m_test), S_OK);
        Table()->SetClientPresent(true);
        ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&m_manager), S_OK);
        CTokenMgr::SetProfileTokenCreator(&CreateProfileToken);
        ASSERT_EQ(ZELK_PolOpen("profiles", &m_profiles), S_OK);
        ASSERT_EQ(ZELK_PolOpen("/Groups\\User\\Profiles", &m_userProfiles), S_OK);
        CaptureTrace(4);
    }
    void TearDown() override
    {
        if (m_monitor)
            Stop();
        CTokenMgr::SetProfileTokenCreator(nullptr);
        for (ZELK_IPolicy* p : {m_profiles, m_userProfiles}) {
            if (p)
                p->Release();
        }
        if (m_manager)
            m_manager->Release();
        Table()->SetClientPresent(false);
        ZELK_ReleaseAPI(&m_test);
        ServiceTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_home, ec);
    }

    const TEST_KVLOGIN_TABLE* Table() { return ZELK_ApiCast<TEST_KVLOGIN_TABLE>(m_test); }

    // A profile in the "profiles" tree or the user group's; no address makes
    // it unusable.
    void Profile(ZELK_IPolicy* tree, const char* name, const char* type, const char* address = "https://ca.test/")
    {
        ZELK_IPolicy* profile = nullptr;
        const std::string path = std::string(tree == m_profiles ? "profiles/" : "/Groups/User/Profiles/") + name;
        ASSERT_EQ(ZELK_PolOpen(path.c_str(), &profile), S_OK) << name;
        ASSERT_GE(profile->SetString("enrollURL0", address), 0);
        if (type != nullptr) {
            ASSERT_GE(profile->SetString("PseType", type), 0);
        }
        profile->Release();
    }

    // A monitor of the test's own, after its first load.
    CKVTokenMonitor* Start()
    {
        CComObject<CKVTokenMonitor>* monitor = nullptr;
        EXPECT_EQ(CComObject<CKVTokenMonitor>::CreateInstance(&monitor), S_OK);
        monitor->AddRef();
        monitor->Initialize();
        m_monitor = monitor;
        CMonitor::WaitForAllInitialized();
        return m_monitor;
    }
    void Stop()
    {
        m_monitor->Finalize();
        m_monitor->Release();
        m_monitor = nullptr;
    }

    bool Has(const std::string& uri)
    {
        CToken* token = nullptr;
        HRESULT hr = m_manager->GetTokenByName(uri.c_str(), &token);
        if (token)
            token->Release();
        return hr == S_OK;
    }
    static bool HasReader(const std::string& uri)
    {
        CReaderMgr* readers = nullptr;
        CSingletonFactoryImpl<CReaderMgr>::New(&readers);
        const bool found = readers != nullptr && readers->ReaderGet(uri.c_str(), nullptr) >= 0;
        if (readers)
            readers->Release();
        return found;
    }
    static std::vector<std::string> Created()
    {
        std::lock_guard<std::mutex> lock(s_lock);
        return s_created;
    }
    // Whether the credential list shows the local-server row.
    static bool LocalServerListed()
    {
        IGUIModelContainer* rows = nullptr;
        if (FAILED(ZELK_CreateObject("zelk", "zelk.localservers", IID_IGUIModelContainer,
                                     reinterpret_cast<void**>(&rows))))
            return false;
        const bool listed = rows->GetElementCount() == 1;
        rows->Release();
        return listed;
    }

    std::string m_home;
    API_COMMON* m_test = nullptr;
    CTokenMgr* m_manager = nullptr;
    ZELK_IPolicy* m_profiles = nullptr;
    ZELK_IPolicy* m_userProfiles = nullptr;
    CKVTokenMonitor* m_monitor = nullptr;
};

TEST_F(KVTokenMonitor, FirstLoadGivesTokensByTypeAndTree)
{
    Profile(m_profiles, "Hub", "HearthGate");
    Profile(m_profiles, "Second", "hearthgate");
    Profile(m_profiles, "Badge", "RFIDPCSC");
    Profile(m_profiles, "Wave", "rfidwaveid");
    Profile(m_profiles, "Work", nullptr);
    Profile(m_profiles, "Blank", nullptr, "");
    Profile(m_userProfiles, "Work", "smartcard");
    Profile(m_userProfiles, "Third", "hearthgate");
    Start();

    // The first "hearthgate" profile in walking order is kept, the others are
    // named in the trace; the same name in both trees gives two tokens.
    EXPECT_TRUE(Has(std::string(kUri) + "Hub"));
    EXPECT_TRUE(Has(std::string(kUri) + "Work"));
    EXPECT_TRUE(Has(std::string(kUserUri) + "Work"));
    for (const char* absent : {"Second", "Badge", "Wave", "Blank", "user/Third"})
        EXPECT_FALSE(Has(std::string(kUri) + absent)) << absent;
    EXPECT_EQ(Created().size(), 3u);
    EXPECT_EQ(CountTrace("Only one 'hearthgate' profile allowed! Using 'Hub', ignoring 'Second'"), 1u);
    EXPECT_EQ(CountTrace("Only one 'hearthgate' profile allowed! Using 'Hub', ignoring 'Third'"), 1u);
    EXPECT_TRUE(LocalServerListed());
}

TEST_F(KVTokenMonitor, ChangesAreCoalescedAndVanishedProfilesWithdrawn)
{
    Profile(m_profiles, "Work", nullptr);
    Profile(m_profiles, "Home", nullptr);
    CKVTokenMonitor* monitor = Start();
    // The store's own change signals would add reloads of their own.
    monitor->Suspend();
    ASSERT_TRUE(Has(std::string(kUri) + "Work"));
    const int clients = Table()->ClientCount();

    // A reload that finds nothing changed sends no card event.
    monitor->Reload();
    ASSERT_TRUE(WaitFor([&] { return Table()->ClientCount() > clients; }, std::chrono::seconds(20)));
    EXPECT_EQ(Created().size(), 2u);

    // The address of "Work" goes; three signals in a row give one reload,
    // 500 ms after the last.
    Profile(m_profiles, "Work", nullptr, "");
    const int before = Table()->ClientCount();
    for (int i = 0; i < 3; ++i)
        monitor->Reload();
    ASSERT_TRUE(WaitFor([&] { return !Has(std::string(kUri) + "Work"); }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Table()->ClientCount(), before + 1);
    EXPECT_FALSE(HasReader(std::string(kUri) + "Work"));
    EXPECT_TRUE(Has(std::string(kUri) + "Home"));
    EXPECT_EQ(CountTrace("Kestrin::Event:: remove toksw:mem://kestrin/Work profile."), 1u);
    // No "hearthgate" profile: no local-server row.
    EXPECT_FALSE(LocalServerListed());
}

TEST_F(KVTokenMonitor, WithoutTheEnrolmentClientNothingChangesUntilItIsThere)
{
    Profile(m_profiles, "Work", nullptr);
    Table()->SetClientPresent(false);
    CKVTokenMonitor* monitor = Start();
    monitor->Suspend();
    // Reloads the store's change signals started before are over.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(CMonitor::InitializedCount(), 1);
    EXPECT_FALSE(Has(std::string(kUri) + "Work"));
    EXPECT_FALSE(LocalServerListed());
    // Still no complete reload: the next one runs at once.
    EXPECT_EQ(monitor->Reload(), 1);
    Table()->SetClientPresent(true);
    EXPECT_EQ(monitor->Reload(), 0);
    EXPECT_TRUE(Has(std::string(kUri) + "Work"));
    EXPECT_TRUE(HasReader(std::string(kUri) + "Work"));
}

}  // namespace
}  // namespace kestrin::service::test

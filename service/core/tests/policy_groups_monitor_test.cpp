// The policy-group monitor over the user's store in temporary XDG folders,
// a downloader module of the test tree and the real scheduler, whose
// schedule is read from its trace and whose tasks are run by name.
#include "policy_groups_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_cfg_policy.h"
#include "service_fixture.h"
#include "task_manager.h"
#include "zelk_policy_client.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CMonitor;
using ZELK::PSESVC::CPolicyGroupsMonitor;
using ZELK::PSESVC::CTaskManager;

constexpr const char* kTTL = "CPolicyGroupsMonitor::ReloadTTL";
constexpr const char* kNetwork = "CPolicyGroupsMonitor::ReloadIfNetworkHasChanged";
constexpr HRESULT kUrlError = static_cast<HRESULT>(0x84E40001);

std::mutex s_lock;
std::vector<std::string> s_downloads;  // "<url>|<flags>|<target>", "(null)" for no URL
std::atomic<HRESULT> s_answer {S_OK};
std::atomic<bool> s_waitForMonitors {false};
std::atomic<int> s_delayMs {0};

HRESULT Download(const char* url, unsigned int flags, const char* target)
{
    if (s_waitForMonitors)
        CMonitor::WaitForAllInitialized();
    if (s_delayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(s_delayMs));
    std::lock_guard<std::mutex> lock(s_lock);
    s_downloads.push_back(std::string(url ? url : "(null)") + "|" + std::to_string(flags) + "|"
                          + (target ? target : "(null)"));
    return s_answer;
}

std::vector<std::string> Downloads()
{
    std::lock_guard<std::mutex> lock(s_lock);
    return s_downloads;
}

struct TEST_DOWNLOAD_TABLE : API_COMMON {
    void (*SetDownload)(HRESULT (*download)(const char*, unsigned int, const char*));
};

class PolicyGroups : public ServiceTest {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zelkgroups-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_home = tmpl;
        setenv("XDG_CONFIG_HOME", (m_home + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_home + "/system").c_str(), 1);
        ServiceTest::SetUp();
        {
            std::lock_guard<std::mutex> lock(s_lock);
            s_downloads.clear();
        }
        s_answer = S_OK;
        s_waitForMonitors = false;
        s_delayMs = 0;
        FakeCfgPolicy::SetPresent(true);
        FakeCfgPolicy::Clear();
        ASSERT_EQ(ZELK_GetAPI("zelkkvlogin", "zelkkvlogin.test", &m_test), S_OK);
        Table()->SetDownload(&Download);
        ASSERT_EQ(ZELK_PolOpen("groups/user", &m_group), S_OK);
        CaptureTrace(4);
    }
    void TearDown() override
    {
        if (m_monitor)
            Stop();
        if (m_group)
            m_group->Release();
        Table()->SetDownload(nullptr);
        ZELK_ReleaseAPI(&m_test);
        ServiceTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_home, ec);
    }

    const TEST_DOWNLOAD_TABLE* Table() { return ZELK_ApiCast<TEST_DOWNLOAD_TABLE>(m_test); }

    void Set(const char* name, const char* value) { ASSERT_EQ(m_group->SetString(name, value), S_OK); }
    void SetTTL(unsigned minutes) { ASSERT_EQ(m_group->SetDWORD("PolicyTTL", minutes), S_OK); }

    // Starts a monitor of the test's own (the singleton could not be made
    // twice) and waits for its first load.
    CPolicyGroupsMonitor* Start()
    {
        CComObject<CPolicyGroupsMonitor>* monitor = nullptr;
        EXPECT_EQ(CComObject<CPolicyGroupsMonitor>::CreateInstance(&monitor), S_OK);
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

    // The scheduled tasks by name with the seconds until each is due.
    static std::map<std::string, long long> Scheduled()
    {
        CTaskManager::TraceScheduledTasks();
        std::map<std::string, long long> tasks;
        std::vector<std::string> lines = TraceLines();
        for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
            if (line->find("Scheduled tasks:") == std::string::npos)
                continue;
            size_t at = 0;
            while ((at = line->find("(in ", at)) != std::string::npos) {
                long long seconds = std::atoll(line->c_str() + at + 4);
                size_t name = line->find(") :", at) + 3;
                tasks[line->substr(name, line->find('\'', name) - name)] = seconds;
                at = name;
            }
            break;
        }
        return tasks;
    }

    static void RunTask(const char* name)
    {
        CTaskManager* scheduler = nullptr;
        ASSERT_EQ(CSingletonFactoryImpl<CTaskManager>::New(&scheduler), S_OK);
        scheduler->ExecuteNamedTask(name);
        scheduler->Release();
    }

    std::string m_home;
    API_COMMON* m_test = nullptr;
    ZELK_IPolicy* m_group = nullptr;
    CPolicyGroupsMonitor* m_monitor = nullptr;
};

TEST_F(PolicyGroups, DownloadsHostAndPathJoinedAndSchedulesTheTimeToLive)
{
    Set("PolicyHost", "https://policy.example:8443");
    Set("PolicyPath", "kvc/group");
    CPolicyGroupsMonitor* monitor = Start();
    EXPECT_EQ(Downloads(), std::vector<std::string> {"https://policy.example:8443kvc/group|2|user"});
    EXPECT_EQ(FakeCfgPolicy::Reports(), std::vector<HRESULT> {S_OK});
    EXPECT_EQ(Scheduled().count(kTTL), 0u);  // no time-to-live

    // Minutes to seconds in 64 bits: 71582789 minutes would wrap to 44 s in 32.
    struct {
        unsigned minutes;
        long long seconds;
    } cases[] = {{60, 3600}, {71582789, INT32_MAX}, {0xFFFFFFFF, INT32_MAX}, {0, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.minutes);
        SetTTL(c.minutes);
        EXPECT_EQ(monitor->ReloadNow(), S_OK);
        std::map<std::string, long long> tasks = Scheduled();
        if (c.seconds < 0) {
            EXPECT_EQ(tasks.count(kTTL), 0u);
        } else {
            ASSERT_EQ(tasks.count(kTTL), 1u);
            EXPECT_GE(tasks[kTTL], c.seconds - 1);
            EXPECT_LE(tasks[kTTL], c.seconds);
        }
        EXPECT_EQ(tasks.count(kNetwork), 0u);
    }
    EXPECT_EQ(Downloads().size(), 5u);
}

TEST_F(PolicyGroups, AnIncompleteAddressOnlyForgetsTheLastDocument)
{
    Set("PolicyPath", "/kvc/group");
    SetTTL(60);
    CPolicyGroupsMonitor* monitor = Start();
    EXPECT_EQ(Downloads(), std::vector<std::string> {"(null)|2|user"});
    EXPECT_EQ(monitor->ReloadNow(), S_FALSE);
    EXPECT_TRUE(FakeCfgPolicy::Reports().empty());
    EXPECT_TRUE(Scheduled().empty());
}

TEST_F(PolicyGroups, AFailureIsReportedAndRetriedAfterFiveMinutesForTheSameAddress)
{
    s_answer = kUrlError;
    Set("PolicyHost", "https://policy.example");
    Set("PolicyPath", "/g");
    SetTTL(60);
    Start();
    EXPECT_EQ(FakeCfgPolicy::Reports(), std::vector<HRESULT> {kUrlError});
    std::map<std::string, long long> tasks = Scheduled();
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_NEAR(tasks[kNetwork], 10, 1);
    EXPECT_NEAR(tasks[kTTL], 300, 1);

    // The network check has nothing to go by; the retry downloads again.
    RunTask(kNetwork);
    s_answer = S_FALSE;  // unchanged document: a success
    RunTask(kTTL);
    ASSERT_TRUE(WaitFor([] { return Downloads().size() == 2; }));
    EXPECT_EQ(Downloads()[1], "https://policy.example/g|2|user");
    ASSERT_TRUE(WaitFor([] { return FakeCfgPolicy::Reports().size() == 2; }));
    EXPECT_EQ(FakeCfgPolicy::Reports()[1], S_OK);
    // The status is reported before the next reload is scheduled.
    ASSERT_TRUE(WaitFor([] { return Scheduled().count(kTTL) == 1 && Scheduled()[kTTL] > 301; }));
    tasks = Scheduled();
    EXPECT_EQ(tasks.count(kNetwork), 0u);
    EXPECT_NEAR(tasks[kTTL], 3600, 1);
}

TEST_F(PolicyGroups, ChangesKeepingTheAddressDownloadOnceUntilAForcedResume)
{
    Set("PolicyHost", "https://policy.example");
    Set("PolicyPath", "/g");
    CPolicyGroupsMonitor* monitor = Start();
    ASSERT_EQ(Downloads().size(), 1u);
    SetTTL(5);
    Set("PolicyPath", "/g");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Downloads().size(), 1u);

    Set("PolicyPath", "/h");
    ASSERT_TRUE(WaitFor([] { return Downloads().size() == 2; }));
    EXPECT_EQ(Downloads()[1], "https://policy.example/h|2|user");

    // A forced resume reloads at once, and so does every later change.
    monitor->Suspend();
    monitor->Resume(true);
    ASSERT_TRUE(WaitFor([] { return Downloads().size() == 3; }));
    SetTTL(6);
    ASSERT_TRUE(WaitFor([] { return Downloads().size() == 4; }));
    EXPECT_EQ(Downloads()[3], "https://policy.example/h|2|user");
}

TEST_F(PolicyGroups, ConcurrentReloadsOfOneAddressDownloadOnce)
{
    Set("PolicyHost", "https://policy.example");
    Set("PolicyPath", "/g");
    CPolicyGroupsMonitor* monitor = Start();
    s_delayMs = 20;
    Set("PolicyPath", "/new");  // the notify thread reloads too
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([monitor] { monitor->Reload(); });
    for (std::thread& t : threads)
        t.join();
    ASSERT_TRUE(WaitFor([] { return Downloads().size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Downloads(),
              (std::vector<std::string> {"https://policy.example/g|2|user", "https://policy.example/new|2|user"}));
}

TEST_F(PolicyGroups, WithoutDownloaderOrModelTheMonitorStillStarts)
{
    Set("PolicyHost", "https://policy.example");
    Set("PolicyPath", "/g");

    // Without a configuration model the download happens, unreported.
    FakeCfgPolicy::SetPresent(false);
    CPolicyGroupsMonitor* monitor = Start();
    EXPECT_EQ(Downloads().size(), 1u);
    EXPECT_TRUE(FakeCfgPolicy::Reports().empty());
    Stop();

    // Without a downloader the monitor counts as started and never loads.
    Table()->SetDownload(nullptr);
    monitor = Start();
    EXPECT_EQ(monitor->ReloadNow(), S_FALSE);
    EXPECT_EQ(Downloads().size(), 1u);
}

TEST_F(PolicyGroups, ADownloaderWaitingForTheMonitorsDuringTheFirstLoadReturns)
{
    s_waitForMonitors = true;
    Set("PolicyHost", "https://policy.example");
    Set("PolicyPath", "/g");
    Start();
    EXPECT_EQ(Downloads().size(), 1u);
}

}  // namespace
}  // namespace kestrin::service::test

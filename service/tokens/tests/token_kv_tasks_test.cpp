// The profile token's schedule: re-enrolment before expiry (or logout at
// expiry with a negative grace period), the named auto-logout task, the
// retry decision after a failed automatic login, and overdue re-enrolments
// kept apart. The schedule is read from the scheduler's own listing.
#include <gtest/gtest.h>

#include <string>

#include "../../core/task_manager.h"
#include "token_kv_fixture.h"
#include "zelk_module.h"
#include "zelk_timeapi.h"

namespace kestrin::tokens::test {
namespace {

using ZELK::PSESVC::CTaskManager;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;

// The token's state that the schedule reads, open to the test.
class ScheduledKV : public CToken_KV {
public:
    using CToken_KV::m_gracePeriod;
    using CToken_KV::m_lastReenroll;
    using CToken_KV::m_loggedOut;
    using CToken_KV::m_reenrollTries;
    using CToken_KV::m_userInfo;
};

class KVTasksTest : public TokenKVLoginTest {
protected:
    void SetUp() override
    {
        TokenKVLoginTest::SetUp();
        CaptureTrace(4);
    }
    void TearDown() override
    {
        if (m_kv != nullptr) {
            m_kv->ClearScheduledTasks(true);
            static_cast<CToken*>(m_kv)->Release();
        }
        m_kv = nullptr;
        TokenKVLoginTest::TearDown();
    }

    // A logged-in profile token whose own certificate is "user".
    ScheduledKV* MakeScheduled()
    {
        const char* reader = "toksw:mem://kestrin/p";
        CComObject<ScheduledKV>* token = nullptr;
        EXPECT_EQ(CComObject<ScheduledKV>::CreateInstance(&token), S_OK);
        static_cast<CToken*>(token)->AddRef();
        m_kv = token;
        m_double = NewToken(reader, {{"user", "01"}});
        EXPECT_EQ(m_kv->Init(m_double, nullptr, reader), S_OK);
        m_kv->m_loggedOut = false;
        return m_kv;
    }
    // The scheduler's listing now.
    static std::string Schedule()
    {
        CTaskManager::TraceScheduledTasks();
        std::string last;
        for (const std::string& line : TraceLines())
            if (line.find("Scheduled tasks:") != std::string::npos)
                last = line;
        return last;
    }
    static bool Has(const std::string& schedule, const std::string& task)
    {
        return schedule.find(task + "'") != std::string::npos;
    }

    ScheduledKV* m_kv = nullptr;
};

TEST_F(KVTasksTest, ReenrolmentBeforeExpiryAndLogoutTasks)
{
    Policy("'profiles': {'p': {'enrollURL0': 'https://e', 'AutoLogout': 1}}");
    ScheduledKV* token = MakeScheduled();
    token->m_gracePeriod = 3600;
    ASSERT_EQ(token->ConfigureScheduledTasks(1), S_OK);
    std::string schedule = Schedule();
    EXPECT_TRUE(Has(schedule, ":CToken_KV::ReenrollTask")) << schedule;
    EXPECT_TRUE(Has(schedule, "CToken_KV::LogoutTask(p)")) << schedule;
    EXPECT_FALSE(Has(schedule, ":CToken_KV::LogoutTask")) << schedule;
    // The user certificate ends in 30 days: re-enrolment an hour before.
    EXPECT_NE(schedule.find("(in 2588"), std::string::npos) << schedule;
    // Deleting the logout task takes the named auto-logout task with it.
    token->ClearScheduledTasks(false);
    schedule = Schedule();
    EXPECT_FALSE(Has(schedule, "CToken_KV::LogoutTask(p)")) << schedule;
    EXPECT_FALSE(Has(schedule, ":CToken_KV::ReenrollTask")) << schedule;

    ASSERT_EQ(token->ConfigureScheduledTasks(0), S_OK);
    schedule = Schedule();
    EXPECT_TRUE(Has(schedule, ":CToken_KV::LogoutTask")) << schedule;
    EXPECT_FALSE(Has(schedule, ":CToken_KV::ReenrollTask")) << schedule;
}

TEST_F(KVTasksTest, RetryDecision)
{
    Policy("'profiles': {'p': {'enrollURL0': 'https://e'}}");
    ScheduledKV* token = MakeScheduled();
    struct Case {
        int32_t tries;
        bool password;
        bool retry;
        int32_t triesAfter;
    };
    const Case cases[] = {
        {-1, true, true, -2},
        {2, true, true, 1},
        {0, true, false, 0},
        {2, false, false, 2},
    };
    for (const Case& c : cases) {
        token->ClearScheduledTasks(true);
        token->m_reenrollTries = c.tries;
        token->m_userInfo->SetPassword(c.password ? L"secret" : nullptr);
        EXPECT_EQ(token->ConfigureRetryEnrollTask(E_FAIL), S_OK);
        const std::string schedule = Schedule();
        EXPECT_EQ(Has(schedule, ":CToken_KV::RetryEnrollTask"), c.retry) << c.tries << " " << schedule;
        // Without a retry the token is logged out when its certificate ends.
        EXPECT_EQ(Has(schedule, ":CToken_KV::LogoutTask"), !c.retry) << c.tries << " " << schedule;
        EXPECT_EQ(token->m_reenrollTries.load(), c.triesAfter) << c.tries;
    }
}

TEST_F(KVTasksTest, AnOverdueReenrolmentKeepsItsDistance)
{
    Policy("'profiles': {'p': {'enrollURL0': 'https://e'}}");
    ScheduledKV* token = MakeScheduled();
    // A grace period longer than the certificate's life: due at once the first
    // time, then not again within a minute of the last run.
    token->m_gracePeriod = 90 * 86400;
    API_COMMON* timeapi = nullptr;
    ASSERT_EQ(ZELK_GetAPI("zelkbase", ZELKBASE_TIMEAPI_API, &timeapi), S_OK);
    const uint64_t now = ZELK_ApiCast<SEC_TIMEAPI_TABLE>(timeapi)->time_TranslateTime(0, 0, TIME_UNIXTIME);
    ZELK_ReleaseAPI(&timeapi);
    token->m_lastReenroll = now;
    ASSERT_EQ(token->ConfigureScheduledTasks(1), S_OK);
    const std::string schedule = Schedule();
    EXPECT_TRUE(Has(schedule, ":CToken_KV::ReenrollTask")) << schedule;
    EXPECT_EQ(schedule.find("@NOW :CToken_KV::ReenrollTask"), std::string::npos) << schedule;
    EXPECT_TRUE(schedule.find("(in 5") != std::string::npos || schedule.find("(in 60 ") != std::string::npos)
        << schedule;
    EXPECT_EQ(CountTrace("overdue"), 1u);
}

}  // namespace
}  // namespace kestrin::tokens::test

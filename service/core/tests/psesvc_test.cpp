// The service object's start and stop with recording stand-ins for what it
// creates: order, banner, the failures that end or skip parts of the start,
// and the endless loop without a host object.
#include "psesvc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "fakes/recording_fakes.h"
#include "service_fixture.h"
#include "zelk_module.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::IPSESVC;
using ZELK::PSESVC::PSESVC;

typedef std::vector<std::string> Log;

const Log kManagers = {"create zelk.readermgr",       "create zelk.tokenmgr",       "create zelk.kerberos",
                       "create zelk.keychainmonitor", "create zelk.kvtokenmonitor", "create zelk.policygroupsmonitor"};
// The module's stop: singletons newest first; Run still holds the factory.
const Log kManagerStops = {"finalize zelk.policygroupsmonitor",
                           "destroy zelk.policygroupsmonitor",
                           "finalize zelk.kvtokenmonitor",
                           "destroy zelk.kvtokenmonitor",
                           "finalize zelk.keychainmonitor",
                           "destroy zelk.keychainmonitor",
                           "finalize zelk.kerberos",
                           "destroy zelk.kerberos",
                           "finalize zelk.tokenmgr",
                           "destroy zelk.tokenmgr",
                           "finalize zelk.readermgr",
                           "destroy zelk.readermgr"};

Log Join(std::initializer_list<Log> parts)
{
    Log all;
    for (const Log& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class PSESVCTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        Recorder::Reset();
        ASSERT_EQ(CSingletonFactoryImpl<PSESVC>::New(IID_IPSESVC, reinterpret_cast<void**>(&m_service)), 0);
    }
    void TearDown() override
    {
        if (m_service)
            m_service->Release();
        ServiceTest::TearDown();
    }
    // Run stops the module itself (unless it ended early).
    HRESULT Run()
    {
        HRESULT hr = m_service->Run(nullptr, 0);
        Log log = Recorder::Log();
        if (std::find(log.begin(), log.end(), "finalize zelk.readermgr") != log.end())
            m_started = false;
        return hr;
    }

    IPSESVC* m_service = nullptr;
};

TEST_F(PSESVCTest, StartsInOrderAndStopsInOrder)
{
    CaptureTrace(4);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Recorder::Log(), Join({kManagers,
                                     {"create zelk.comunix.server", "create zelk.psefactory", "instance first",
                                      "connect factory", "create zelk.nogui", "gui run service", "destroy zelk.nogui",
                                      "disconnect factory", "lockserver 0", "destroy zelk.comunix.server"},
                                     {"finalize zelk.psefactory"},
                                     kManagerStops,
                                     {"destroy zelk.psefactory"}}));
    EXPECT_EQ(CountTrace("3:Kestrin Client Version: 3.0 SP 2 Patch Level 0"), 1u);
    EXPECT_EQ(CountTrace("start GUI loop"), 1u);
}

TEST_F(PSESVCTest, AMissingManagerEndsTheStartWithItsResult)
{
    Recorder::s_failing = {"zelk.readermgr"};
    EXPECT_EQ(Run(), ZELK_RC(0x80004005));
    EXPECT_EQ(Recorder::Log(), (Log {"fail zelk.readermgr"}));

    ZELK_Finalize();
    ASSERT_EQ(ZELK_Initialize(), 0);
    Recorder::Reset();
    Recorder::s_failing = {"zelk.tokenmgr"};
    EXPECT_EQ(Run(), ZELK_RC(0x80004005));
    EXPECT_EQ(Recorder::Log(), (Log {"create zelk.readermgr", "fail zelk.tokenmgr"}));
}

TEST_F(PSESVCTest, AFailingMonitorDoesNotStopTheStart)
{
    Recorder::s_failing = {"zelk.keychainmonitor"};
    EXPECT_EQ(Run(), 0);
    Log log = Recorder::Log();
    for (const char* entry : {"fail zelk.keychainmonitor", "create zelk.kvtokenmonitor", "connect factory",
                              "gui run service", "lockserver 0"})
        EXPECT_NE(std::find(log.begin(), log.end(), entry), log.end()) << entry;
}

TEST_F(PSESVCTest, WithoutTheSocketServerNoClientCanConnect)
{
    Recorder::s_failing = {"zelk.comunix.server"};
    EXPECT_EQ(Run(), ZELK_RC(0x80070005));
    EXPECT_EQ(Recorder::Log(), Join({kManagers, {"fail zelk.comunix.server"}, kManagerStops}));
}

TEST_F(PSESVCTest, AFailedConnectSkipsTheLoopAndIsTheResult)
{
    Recorder::s_connectResult = ZELK_RC(0x80004005);
    EXPECT_EQ(Run(), ZELK_RC(0x80004005));
    EXPECT_EQ(Recorder::Log(),
              Join({kManagers,
                    {"create zelk.comunix.server", "create zelk.psefactory", "instance first", "connect factory",
                     "disconnect factory", "lockserver 0", "destroy zelk.comunix.server"},
                    {"finalize zelk.psefactory"},
                    kManagerStops,
                    {"destroy zelk.psefactory"}}));
}

TEST_F(PSESVCTest, OperationsAreNotImplemented)
{
    for (const char* op : std::initializer_list<const char*> {"emergency.shutdown", "shutdown", "", nullptr})
        EXPECT_EQ(m_service->DoOp(nullptr, op, nullptr), ZELK_RC(0x80000001));
    IUnknown* object = nullptr;
    EXPECT_EQ(m_service->CreateObject("zelk", "zelk.none", IID_IUnknown, reinterpret_cast<void**>(&object)),
              ZELK_RC(0x80004005));
    EXPECT_EQ(object, nullptr);
}

// Without a host object Run never returns; the check runs in a child process.
TEST_F(PSESVCTest, WithoutAHostObjectTheServiceSleepsForEver)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CaptureTrace(4);
            Recorder::s_failing = {"zelk.nogui"};
            std::thread([this] { m_service->Run(nullptr, 0); }).detach();
            WaitFor([] { return CountTrace("start dummy loop") > 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Log log = Recorder::Log();
            bool stopped = std::find(log.begin(), log.end(), "lockserver 0") != log.end();
            _exit(CountTrace("start dummy loop") == 1 && !stopped ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrin::service::test

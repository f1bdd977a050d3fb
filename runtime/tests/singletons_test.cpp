// The singleton registry's start and stop order and concurrent registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zelk_module.h"
#include "zelk_singletons.h"

namespace {

std::vector<std::string> s_log;

class Recorder : public ISingleton {
public:
    Recorder(std::string name, HRESULT initResult = S_OK) : m_name(std::move(name)), m_initResult(initResult) {}
    ~Recorder() override { CSingletons::Unregister(this); }
    HRESULT Initialize() override
    {
        s_log.push_back("init " + m_name);
        return m_initResult;
    }
    HRESULT Finalize() override
    {
        s_log.push_back("fini " + m_name);
        return S_OK;
    }

private:
    std::string m_name;
    HRESULT m_initResult;
};

// The registry runs inside a started runtime, so that any binder the runtime
// itself registers is bound and answers its Initialize.
class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        s_log.clear();
    }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }
};

TEST_F(Registry, StopsOnDemandObjectsFirstThenStaticMembersNewestFirst)
{
    Recorder first("binder1"), second("binder2"), single("singleton");
    ASSERT_EQ(ZELK_RegisterSingleton(&first, 0), S_OK);
    ASSERT_EQ(ZELK_RegisterSingleton(&second, 0), S_OK);
    ASSERT_EQ(ZELK_RegisterSingleton(&single, 1), S_OK);
    unsigned int count = CSingletons::Count();

    EXPECT_EQ(CSingletons::Initialize(), S_OK);
    EXPECT_EQ(s_log, (std::vector<std::string> {"init binder1", "init binder2", "init singleton"}));
    s_log.clear();
    EXPECT_EQ(CSingletons::Finalize(), S_OK);
    EXPECT_EQ(s_log, (std::vector<std::string> {"fini singleton", "fini binder2", "fini binder1"}));
    EXPECT_EQ(CSingletons::Count(), count - 1);

    // A later start reaches the static members again, in registration order;
    // the object created on demand is gone.
    s_log.clear();
    EXPECT_EQ(CSingletons::Initialize(), S_OK);
    EXPECT_EQ(s_log, (std::vector<std::string> {"init binder1", "init binder2"}));
}

// An object whose stop makes another on demand (as a logout at the stop may
// reach a model not made before): the new one is stopped in the same stop and
// not left behind.
TEST_F(Registry, AnObjectMadeDuringTheStopIsStoppedToo)
{
    class Maker : public Recorder {
    public:
        Maker(Recorder& made) : Recorder("maker"), m_made(made) {}
        HRESULT Finalize() override
        {
            Recorder::Finalize();
            return ZELK_RegisterSingleton(&m_made, 1);
        }

    private:
        Recorder& m_made;
    };
    Recorder made("made");
    Maker maker(made);
    ASSERT_EQ(ZELK_RegisterSingleton(&maker, 1), S_OK);
    const unsigned int count = CSingletons::Count();
    EXPECT_EQ(CSingletons::Finalize(), S_OK);
    EXPECT_EQ(s_log, (std::vector<std::string> {"fini maker", "fini made"}));
    EXPECT_EQ(CSingletons::Count(), count - 1);
}

TEST_F(Registry, FirstFailingInitializeStopsThePass)
{
    Recorder ok("ok"), failing("failing", E_ABORT), later("later");
    ZELK_RegisterSingleton(&ok, 0);
    ZELK_RegisterSingleton(&failing, 0);
    ZELK_RegisterSingleton(&later, 0);
    EXPECT_EQ(CSingletons::Initialize(), E_ABORT);
    EXPECT_EQ(s_log, (std::vector<std::string> {"init ok", "init failing"}));
}

TEST_F(Registry, ConcurrentRegistrationsLoseNothing)
{
    constexpr int kThreads = 8;
    constexpr int kPerThread = 500;
    unsigned int before = CSingletons::Count();
    std::vector<std::unique_ptr<Recorder>> objects;
    for (int i = 0; i < kThreads * kPerThread; ++i)
        objects.push_back(std::make_unique<Recorder>("r"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                ZELK_RegisterSingleton(objects[static_cast<size_t>(t * kPerThread + i)].get(), 1);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(CSingletons::Count(), before + kThreads * kPerThread);
    EXPECT_EQ(CSingletons::Finalize(), S_OK);  // the on-demand objects leave
    EXPECT_EQ(std::count(s_log.begin(), s_log.end(), "fini r"), kThreads * kPerThread);
    EXPECT_EQ(CSingletons::Count(), before);
    EXPECT_EQ(CSingletons::Initialize(), S_OK);  // rebinds what the stop released
}

TEST(RegistryArguments, NullObjectIsRefused)
{
    EXPECT_EQ(ZELK_RegisterSingleton(nullptr, 0), E_INVALIDARG);
}

}  // namespace

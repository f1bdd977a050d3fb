// The token manager as the event hub: the reader manager's sink, passing
// every event but a card change to its sinks in registration order.
#include "tokens/token_manager.h"

#include <gtest/gtest.h>

#include "fakes/fake_slots.h"
#include "fakes/recording_sink.h"
#include "reader_manager.h"
#include "service_fixture.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CReaderMgr;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::IReaderEvents;
using ZELK::PSESVC::ISlotEvents;

// An object without ISlotEvents.
class Plain : public IUnknown, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Plain)
    ZELK_INTMAP_ENTRY(IUnknown)
    ZELK_END_INTMAP()
};

class TokenManagerTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        FakeSlots::Clear();
        ASSERT_EQ(CSingletonFactoryImpl<CReaderMgr>::New(&m_rm), 0);
        ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&m_tm), 0);
        for (auto** sink : {&m_first, &m_second}) {
            CComObject<RecordingSink>::CreateInstance(sink);
            (*sink)->AddRef();
            (*sink)->m_log = &m_log;
        }
        m_first->m_tag = "first ";
        m_second->m_tag = "second ";
    }
    void TearDown() override
    {
        m_first->Release();
        m_second->Release();
        m_tm->Release();
        m_rm->Release();
        ServiceTest::TearDown();
        FakeSlots::Clear();
    }

    CReaderMgr* m_rm = nullptr;
    CTokenMgr* m_tm = nullptr;
    CComObject<RecordingSink>* m_first = nullptr;
    CComObject<RecordingSink>* m_second = nullptr;
    std::vector<std::string> m_log;
};

TEST_F(TokenManagerTest, EventsReachTheSinksInRegistrationOrderButCardChanges)
{
    EXPECT_EQ(m_tm->RegisterEventSink(static_cast<ISlotEvents*>(m_first)), 0);
    EXPECT_EQ(m_tm->RegisterEventSink(static_cast<ISlotEvents*>(m_second)), 0);
    m_rm->ReaderEvent(IReaderEvents::READER_ADDED, "secpcsc:r", 0);
    m_rm->ReaderEvent(IReaderEvents::CARD_INSERTED, "secpcsc:r", 0);
    m_rm->ReaderEvent(IReaderEvents::CARD_CHANGED, "secpcsc:r", 0);
    EXPECT_EQ(m_tm->UnregisterEventSink(static_cast<ISlotEvents*>(m_first)), 0);
    m_rm->ReaderEvent(IReaderEvents::CARD_REMOVED, "secpcsc:r", 0);
    EXPECT_EQ(m_log, (std::vector<std::string> {"first 2 secpcsc:r", "second 2 secpcsc:r", "first 200 secpcsc:r",
                                                "second 200 secpcsc:r", "second 100 secpcsc:r"}));
}

TEST_F(TokenManagerTest, OnlySlotEventSinksAreTaken)
{
    CComObject<Plain>* plain = nullptr;
    CComObject<Plain>::CreateInstance(&plain);
    plain->AddRef();
    EXPECT_EQ(m_tm->RegisterEventSink(plain), ZELK_RC(0x80000003));
    EXPECT_EQ(m_tm->UnregisterEventSink(plain), ZELK_RC(0x80000003));
    EXPECT_EQ(m_tm->RegisterEventSink(nullptr), ZELK_RC(0x80000003));
    plain->Release();
    EXPECT_EQ(m_tm->WaitForAllMonitors(), 0);
    EXPECT_EQ(CTokenMgr::EmergencyShutdown(), 0);
}

}  // namespace
}  // namespace kestrin::service::test

// Slot-event objects and the factory's pending list: the queue, the waits,
// the wake-up of every waiter at shutdown and its race with releases; the
// factory without a security context.
#include "slot_events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fakes/fake_slots.h"
#include "pse_factory.h"
#include "reader_manager.h"
#include "service_fixture.h"
#include "tokens/token_manager.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CPSEFactory;
using ZELK::PSESVC::CReaderMgr;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::IReaderEvents;
using ZELK::PSESVC::ISlotEvents;
using ZELK::PSESVC::ZELKSlotEvents;

class SlotEventsTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        FakeSlots::Clear();
        ASSERT_EQ(CSingletonFactoryImpl<CPSEFactory>::New(&m_factory), 0);
        ASSERT_EQ(ZELKSlotEvents::Create(&m_events), 0);
    }
    void TearDown() override
    {
        if (m_events)
            m_events->Release();
        static_cast<IClassFactory*>(m_factory)->Release();
        ServiceTest::TearDown();
        FakeSlots::Clear();
    }
    // Starts a thread blocked in wait(0); its answer lands in `result`.
    std::thread Waiter(std::atomic<HRESULT>& result)
    {
        return std::thread([this, &result] {
            SecSlot* slot = nullptr;
            result = m_events->wait(0, &slot);
            if (slot)
                slot->Release();
        });
    }

    CPSEFactory* m_factory = nullptr;
    ZELKSlotEvents* m_events = nullptr;
};

TEST_F(SlotEventsTest, ASlotReportedTwiceBeforeItIsTakenIsQueuedOnce)
{
    SecSlot* a = FakeSlots::Get("a");
    SecSlot* b = FakeSlots::Get("b");
    EXPECT_EQ(m_events->SlotEvent(ISlotEvents::CARD_INSERTED, a), 0);
    EXPECT_EQ(m_events->SlotEvent(ISlotEvents::CARD_INSERTED, b), 0);
    EXPECT_EQ(m_events->SlotEvent(ISlotEvents::CARD_REMOVED, a), 1);
    EXPECT_EQ(m_events->SlotEvent(ISlotEvents::CARD_REMOVED, nullptr), 1);
    SecSlot* slot = nullptr;
    ASSERT_EQ(m_events->wait(0, &slot), 0);
    EXPECT_EQ(slot, a);
    slot->Release();
    ASSERT_EQ(m_events->wait(0, &slot), 0);
    EXPECT_EQ(slot, b);
    slot->Release();
    // Only bit 0 of the flags is read.
    EXPECT_EQ(m_events->wait(0xFFFFFFFF, &slot), 8);
    EXPECT_EQ(m_events->wait(1, &slot), 8);

    std::atomic<HRESULT> result {-1};
    std::thread waiter = Waiter(result);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result, -1);
    m_events->SlotEvent(ISlotEvents::CARD_INSERTED, a);
    waiter.join();
    EXPECT_EQ(result, 0);

    m_events->SlotEvent(ISlotEvents::CARD_INSERTED, b);
    EXPECT_EQ(m_events->wait(0, nullptr), 0);
    EXPECT_EQ(m_events->wait(1, nullptr), 8);
}

TEST_F(SlotEventsTest, LockServerFalseWakesEveryWaiterNowAndLater)
{
    std::atomic<HRESULT> results[3] = {{-1}, {-1}, {-1}};
    std::vector<std::thread> waiters;
    for (auto& result : results)
        waiters.push_back(Waiter(result));
    EXPECT_EQ(m_factory->LockServer(true), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& result : results)
        EXPECT_EQ(result, -1);
    EXPECT_EQ(m_factory->PendingCount(), 1u);
    EXPECT_EQ(m_factory->LockServer(false), 1);
    for (auto& waiter : waiters)
        waiter.join();
    for (auto& result : results)
        EXPECT_EQ(result, 0x190);
    // Queued slots do not matter once cancelled.
    m_events->SlotEvent(ISlotEvents::CARD_INSERTED, FakeSlots::Get("a"));
    EXPECT_EQ(m_events->wait(0, nullptr), 0x190);
    EXPECT_EQ(m_factory->PendingCount(), 0u);
}

TEST_F(SlotEventsTest, CancelStopsTheTokenManagersEvents)
{
    CReaderMgr* rm = nullptr;
    CTokenMgr* tm = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CReaderMgr>::New(&rm), 0);
    ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&tm), 0);
    ASSERT_EQ(tm->RegisterEventSink(static_cast<ISlotEvents*>(m_events)), 0);
    rm->ReaderEvent(IReaderEvents::READER_ADDED, "secpcsc:r", 0);
    EXPECT_EQ(m_events->wait(1, nullptr), 0);
    EXPECT_EQ(m_events->cancel(), 0);
    rm->ReaderEvent(IReaderEvents::CARD_INSERTED, "secpcsc:r", 0);
    EXPECT_EQ(m_events->wait(1, nullptr), 0x190);
    // The token manager no longer holds it: the last release destroys it.
    EXPECT_EQ(m_events->Release(), 0);
    m_events = nullptr;
    tm->Release();
    rm->Release();
}

TEST_F(SlotEventsTest, ObjectsGoneBeforeTheShutdownAreNotTouched)
{
    ZELKSlotEvents* other = nullptr;
    ASSERT_EQ(ZELKSlotEvents::Create(&other), 0);
    EXPECT_EQ(m_factory->PendingCount(), 2u);
    other->Release();
    EXPECT_EQ(m_factory->PendingCount(), 1u);
    EXPECT_EQ(m_factory->LockServer(false), 1);
    EXPECT_EQ(m_events->wait(1, nullptr), 0x190);
}

TEST_F(SlotEventsTest, ReleasesRacingTheShutdown)
{
    for (int round = 0; round < 200; ++round) {
        std::vector<ZELKSlotEvents*> objects(8);
        for (auto*& object : objects)
            ASSERT_EQ(ZELKSlotEvents::Create(&object), 0);
        std::thread releaser([&] {
            for (auto* object : objects)
                object->Release();
        });
        m_factory->LockServer(false);
        releaser.join();
    }
    EXPECT_EQ(m_factory->PendingCount(), 0u);
}

TEST_F(SlotEventsTest, WithoutASecurityContextNoSessionStarts)
{
    // This tree has no module "zelk" for the crypto library to make the
    // context's PSE with.
    void* tunnel = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_ITunnel, &tunnel), ZELK_RC(0x80004005));
    EXPECT_EQ(tunnel, nullptr);
    ASC* asc = reinterpret_cast<ASC*>(0x1);
    EXPECT_EQ(CPSEFactory::GetASC(&asc), ZELK_RC(0x80004005));
    EXPECT_EQ(asc, nullptr);
    asc = reinterpret_cast<ASC*>(0x1);
    EXPECT_EQ(CPSEFactory::GetASC(&asc, nullptr), ZELK_RC(0x80004005));
    EXPECT_EQ(asc, nullptr);
    // The client book is the service's own and needs no context.
    EXPECT_EQ(m_factory->ClientConnect("unknown", 4812), S_OK);
    EXPECT_EQ(m_factory->ClientDisconnect("unknown", 4812), S_OK);
    EXPECT_EQ(m_factory->Reset(nullptr), 0);
}

}  // namespace
}  // namespace kestrin::service::test

// The reader manager: its event table, the slot list and the readers model,
// the scan waits, the stop, and two threads adding and removing one name.
#include "reader_manager.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_slots.h"
#include "fakes/recording_sink.h"
#include "service_fixture.h"
#include "zelk_module.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CReaderMgr;
using ZELK::PSESVC::IReaderEvents;

class ReaderManagerTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        FakeSlots::Clear();
        FakeReaders::Enable(true);
        CReaderMgr::s_scanPollMilliseconds = 1;
        ASSERT_EQ(CSingletonFactoryImpl<CReaderMgr>::New(&m_rm), 0);
        CComObject<RecordingSink>::CreateInstance(&m_sink);
        m_sink->AddRef();
    }
    void TearDown() override
    {
        m_sink->Release();
        m_rm->Release();
        ServiceTest::TearDown();
        FakeReaders::Enable(false);
        FakeSlots::Clear();
    }
    unsigned long SlotCount()
    {
        unsigned long count = 0;
        m_rm->getSlots(nullptr, &count);
        return count;
    }

    CReaderMgr* m_rm = nullptr;
    CComObject<RecordingSink>* m_sink = nullptr;
};

TEST_F(ReaderManagerTest, SlotsComeOnceAndGoWithTheirTokenReleasedUnlessKeychain)
{
    EXPECT_EQ(m_rm->ReaderAdd("secpcsc:r1"), 0);
    EXPECT_EQ(m_rm->ReaderAdd("secpcsc:r1"), 0);
    EXPECT_EQ(m_rm->ReaderAdd("tokkeychain:cert=ab"), 0);
    FakeSlots::Refuse("secpcsc:gone");
    EXPECT_EQ(m_rm->ReaderAdd("secpcsc:gone"), 0);
    EXPECT_EQ(SlotCount(), 2u);

    EXPECT_EQ(m_rm->ReaderDel("tokkeychain:cert=ab"), 0);
    EXPECT_EQ(m_rm->ReaderDel("secpcsc:r1"), 0);
    EXPECT_EQ(m_rm->ReaderDel("secpcsc:r1"), 0);
    EXPECT_EQ(SlotCount(), 0u);
    EXPECT_EQ(FakeSlots::Get("tokkeychain:cert=ab")->releases, 0);
    EXPECT_EQ(FakeSlots::Get("secpcsc:r1")->releases, 1);
    EXPECT_EQ(FakeReaders::Calls(), (std::vector<std::string> {"add secpcsc:r1", "add secpcsc:gone",
                                                               "del tokkeychain:cert=ab", "del secpcsc:r1"}));

    EXPECT_EQ(m_rm->ReaderAdd(nullptr), ZELK_RC(0x80000003));
    EXPECT_EQ(m_rm->ReaderDel(nullptr), ZELK_RC(0x80000003));
    EXPECT_EQ(m_rm->ReaderEvent(IReaderEvents::READER_ADDED, nullptr, 0), ZELK_RC(0x80000003));
    EXPECT_EQ(SlotCount(), 0u);
}

TEST_F(ReaderManagerTest, SlotQueries)
{
    for (const char* name : {"secpcsc:a", "secpcsc:b", "secpcsc:c"})
        m_rm->ReaderAdd(name);
    EXPECT_EQ(SlotCount(), 3u);
    SecSlot* slots[1] = {};
    unsigned long count = 1;
    ASSERT_EQ(m_rm->getSlots(slots, &count), 0);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slots[0], FakeSlots::Get("secpcsc:a"));
    slots[0]->Release();
    EXPECT_EQ(m_rm->getSlots(slots, nullptr), -1);

    SecSlot* untouched = reinterpret_cast<SecSlot*>(0x1);
    EXPECT_EQ(m_rm->getSlotByName(&untouched, "tokkeychain:cert=ab", 0), 0);
    EXPECT_EQ(untouched, reinterpret_cast<SecSlot*>(0x1));
    SecSlot* slot = nullptr;
    EXPECT_EQ(m_rm->getSlotByName(&slot, "secpcsc:b", 0), 1);
    EXPECT_EQ(slot, FakeSlots::Get("secpcsc:b"));
    slot->Release();
    EXPECT_EQ(m_rm->getSlotByName(&slot, "secpcsc:none", 0), -1);
    EXPECT_EQ(slot, nullptr);
}

TEST_F(ReaderManagerTest, EventsReachTheSinkAndTheModel)
{
    // Without a sink the card's ATR still reaches the model.
    m_rm->ReaderEvent(IReaderEvents::READER_ADDED, "secpcsc:r", 0);
    m_rm->ReaderEvent(IReaderEvents::CARD_INSERTED, "secpcsc:r", reinterpret_cast<unsigned long>("3B00"));
    EXPECT_EQ(FakeReaders::Calls(),
              (std::vector<std::string> {"add secpcsc:r", "atr secpcsc:r=3B00", "info secpcsc:r=None"}));

    m_rm->RegisterEventSink(static_cast<ZELK::PSESVC::ISlotEvents*>(m_sink));
    m_rm->ReaderEvent(IReaderEvents::CARD_INSERTED, "secpcsc:r", 0);
    m_rm->ReaderEvent(IReaderEvents::CARD_CHANGED, "secpcsc:r", 0);
    m_rm->ReaderEvent(IReaderEvents::CARD_REMOVED, "secpcsc:r", 0);
    EXPECT_EQ(FakeSlots::Get("secpcsc:r")->releases, 1);
    m_rm->ReaderEvent(IReaderEvents::CARD_INSERTED, "secpcsc:unknown", 0);
    m_rm->ReaderEvent(IReaderEvents::READER_REMOVED, "secpcsc:r", 0);
    EXPECT_EQ(m_sink->Events(),
              (std::vector<std::string> {"200 secpcsc:r", "400 secpcsc:r", "100 secpcsc:r", "1 secpcsc:r"}));
    EXPECT_EQ(SlotCount(), 0u);
    m_rm->UnregisterEventSink(nullptr);
    m_rm->ReaderEvent(IReaderEvents::READER_ADDED, "secpcsc:r", 0);
    EXPECT_EQ(m_sink->Events().size(), 4u);
}

TEST_F(ReaderManagerTest, ScanWaits)
{
    EXPECT_EQ(m_rm->WaitForScan(true), 0);
    EXPECT_EQ(m_rm->ReaderEvent(IReaderEvents::SCAN_STARTED, nullptr, 0), 0);
    m_rm->ReaderEvent(IReaderEvents::BUSY, "", 0);
    std::atomic<bool> fullDone {false};
    std::atomic<bool> partDone {false};
    std::thread full([&] {
        m_rm->WaitForScan(true);
        fullDone = true;
    });
    std::thread part([&] {
        m_rm->WaitForScan(false);
        partDone = true;
    });
    m_rm->ReaderEvent(IReaderEvents::READERS_SCANNED, "", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(partDone);
    m_rm->ReaderEvent(IReaderEvents::NOT_BUSY, "", 0);
    EXPECT_TRUE(WaitFor([&] { return partDone.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(fullDone);
    m_rm->ReaderEvent(IReaderEvents::CARDS_SCANNED, "", 0);
    EXPECT_TRUE(WaitFor([&] { return fullDone.load(); }));
    full.join();
    part.join();
}

TEST_F(ReaderManagerTest, AfterTheStopNothingAnswers)
{
    m_rm->ReaderAdd("secpcsc:r");
    ZELK_Finalize();
    m_started = false;
    EXPECT_EQ(m_rm->WaitForScan(false), ZELK_RC(0x80000007));
    SecSlot* slot = nullptr;
    EXPECT_EQ(m_rm->ReaderGet("secpcsc:r", &slot), -1);
    EXPECT_EQ(m_rm->ReaderAdd("secpcsc:r"), 1);
    EXPECT_EQ(m_rm->ReaderEvent(IReaderEvents::READER_ADDED, "secpcsc:r", 0), 1);
    EXPECT_EQ(FakeReaders::Calls().back(), "clear");
}

TEST_F(ReaderManagerTest, TwoThreadsAddingAndRemovingOneNameKeepOneSlotAtMost)
{
    std::atomic<bool> stop {false};
    std::atomic<unsigned long> most {0};
    std::thread watcher([&] {
        while (!stop) {
            unsigned long n = SlotCount();
            if (n > most)
                most = n;
        }
    });
    std::thread adder([&] {
        for (int i = 0; i < 2000; ++i)
            m_rm->ReaderAdd("secpcsc:shared");
    });
    std::thread remover([&] {
        for (int i = 0; i < 2000; ++i)
            m_rm->ReaderDel("secpcsc:shared");
    });
    adder.join();
    remover.join();
    stop = true;
    watcher.join();
    EXPECT_LE(most, 1u);
    m_rm->ReaderAdd("secpcsc:shared");
    EXPECT_EQ(SlotCount(), 1u);
    m_rm->ReaderDel("secpcsc:shared");
    EXPECT_EQ(SlotCount(), 0u);
}

}  // namespace
}  // namespace kestrin::service::test

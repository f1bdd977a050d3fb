// Changes made by other processes, seen through the folder watch. Each case
// waits for the coalescing second, so they are grouped in one test.
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "policy_fixture.h"
#include "signal_counter.h"

using namespace kestrin::policy::test;

namespace {

// Longer than the watcher's quiet second plus its delivery.
constexpr int kQuietMs = 1800;

void Peer(const std::string& program)
{
    int status = -1;
    RunPython(program, &status);
    ASSERT_EQ(status, 0);
}

std::string SystemXml(const std::string& common)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Common</key><dict>" + common
           + "</dict></dict></plist>\n";
}

}  // namespace

TEST_F(PolicyTable, OutsideChangesAreSignalledOnceAndOwnSavesNever)
{
    mkdir(SystemFolder().c_str(), 0755);
    WriteFile(SystemFile(), SystemXml("<key>TrustDB</key><string>pkcs11:admin</string>"));
    Policy common, trace;
    ASSERT_EQ(ZELK_PolOpen("Common", &common), S_OK);
    ASSERT_EQ(ZELK_PolOpen("trace", &trace), S_OK);
    SignalCounter onCommon, onTrace;
    ASSERT_EQ(common->RegisterCallback(&onCommon), S_OK);
    ASSERT_EQ(trace->RegisterCallback(&onTrace), S_OK);
    ASSERT_EQ(common->SetString("TrustDB", "mine"), E_ACCESSDENIED);

    // Our own save: the writer's signal, nothing from the watcher afterwards.
    ASSERT_EQ(trace->SetDWORD("Level", 1), S_OK);
    EXPECT_EQ(onTrace.Count(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
    EXPECT_EQ(onTrace.Count(), 1);
    EXPECT_EQ(onCommon.Count(), 0);

    // Another process edits the user file: every listener of it, once.
    Peer("p = '" + UserFile()
         + "'\nd = plistlib.load(open(p, 'rb'))\nd['trace']['Level'] = 4\n"
           "d['Common'] = {'TrustDB': 'user-db'}\nplistlib.dump(d, open(p, 'wb'))\n");
    ASSERT_TRUE(onTrace.WaitFor(2, 4000));
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
    EXPECT_EQ(onTrace.Count(), 2);
    EXPECT_EQ(onCommon.Count(), 1);
    EXPECT_EQ(trace->GetDWORD("Level"), 4u);
    // The system value still wins.
    EXPECT_EQ(Text(common.get(), "TrustDB"), "pkcs11:admin");

    // The administrator drops the entry: reads fall through to the user file.
    WriteFile(SystemFile(), SystemXml(""));
    ASSERT_TRUE(onCommon.WaitFor(2, 4000));
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
    EXPECT_EQ(onCommon.Count(), 2);
    EXPECT_EQ(onTrace.Count(), 3);
    EXPECT_EQ(Text(common.get(), "TrustDB"), "user-db");
    EXPECT_TRUE(common->IsChangeable("TrustDB"));
    EXPECT_EQ(common->SetString("TrustDB", "mine"), S_OK);
}

// The change watcher. Each of these waits for the coalescing second, so the
// cases are grouped into few tests.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "plist_root.h"
#include "signal_counter.h"
#include "test_util.h"

using namespace kestrin::policy;
using kestrin::policy::test::RunPython;
using kestrin::policy::test::SignalCounter;
using kestrin::policy::test::TempDir;

namespace {

// Another process rewrites the file in place, the way an editor would, once
// for each value, in quick succession.
void EditElsewhere(const std::string& file, const std::string& key, int value, int times = 1)
{
    int status = -1;
    RunPython("p = '" + file + "'\nfor i in range(" + std::to_string(times) + "):\n"
                  + "  d = plistlib.load(open(p, 'rb'))\n  d['" + key + "'] = {'v': " + std::to_string(value)
                  + " + i}\n  open(p, 'wb').write(plistlib.dumps(d))\n",
              &status);
    ASSERT_EQ(status, 0);
}

constexpr int kQuiet = change_watcher::kCoalesceMilliseconds + 700;

}  // namespace

TEST(ChangeWatcher, OwnSavesAreQuietOutsideEditsSignalledOnce)
{
    TempDir user, system;
    PlistRoot userRoot({user.Path()});
    PlistRoot systemRoot({system.Path()});
    SignalCounter onUser, onUserDeep, onSystem;
    int a = 0, b = 0, c = 0;
    userRoot.SetCallback(&a, {"trace"}, &onUser);
    userRoot.SetCallback(&b, {"x", "y"}, &onUserDeep);
    systemRoot.SetCallback(&c, {}, &onSystem);
    userRoot.Load();
    systemRoot.Load();
    // One watch per folder for the root's life, however many listeners.
    EXPECT_EQ(change_watcher::WatchCount(), 2u);

    // Our own save: the writer's signal only, nothing from the watcher.
    ASSERT_EQ(userRoot.SetValue({"trace"}, "Level", NewNumber(5)), S_OK);
    EXPECT_EQ(onUser.Count(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuiet));
    EXPECT_EQ(onUser.Count(), 1);
    EXPECT_EQ(onUserDeep.Count(), 0);

    // Two quick outside edits: one reload, every listener of that root once.
    EditElsewhere(userRoot.FilePath(), "b", 1, 2);
    ASSERT_TRUE(onUserDeep.WaitFor(1, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuiet));
    EXPECT_EQ(onUser.Count(), 2);
    EXPECT_EQ(onUserDeep.Count(), 1);
    EXPECT_EQ(onSystem.Count(), 0);
    uint32_t value = 0;
    ASSERT_EQ(userRoot.GetNumber({"b"}, "v", &value), S_OK);
    EXPECT_EQ(value, 2u);
    ASSERT_EQ(userRoot.GetNumber({"trace"}, "Level", &value), S_OK);
    EXPECT_EQ(value, 5u);

    // The other folder is watched on the same thread.
    EditElsewhere(systemRoot.FilePath(), "s", 3);
    ASSERT_TRUE(onSystem.WaitFor(1, 3000));
    ASSERT_EQ(systemRoot.GetNumber({"s"}, "v", &value), S_OK);
    EXPECT_EQ(value, 3u);

    // Removing the file is a change too; the values go.
    ASSERT_EQ(std::remove(systemRoot.FilePath().c_str()), 0);
    ASSERT_TRUE(onSystem.WaitFor(2, 3000));
    EXPECT_EQ(systemRoot.GetNumber({"s"}, "v", &value), E_FAIL);
    EXPECT_EQ(onUser.Count(), 2);
}

TEST(ChangeWatcher, ThreadStopsWithTheLastWatchAndRestarts)
{
    TempDir first, second;
    auto a = std::make_unique<PlistRoot>(PlistRoot::Options {first.Path()});
    auto b = std::make_unique<PlistRoot>(PlistRoot::Options {second.Path()});
    a->Load();
    b->Load();
    EXPECT_TRUE(change_watcher::ThreadRunning());
    // The first root going leaves the other one watched.
    a.reset();
    EXPECT_TRUE(change_watcher::ThreadRunning());
    SignalCounter onB;
    int owner = 0;
    b->SetCallback(&owner, {}, &onB);
    EditElsewhere(b->FilePath(), "k", 1);
    ASSERT_TRUE(onB.WaitFor(1, 3000));
    b->RemoveOwner(&owner);
    b.reset();
    EXPECT_FALSE(change_watcher::ThreadRunning());
    EXPECT_EQ(change_watcher::WatchCount(), 0u);

    // A new start sees outside changes again.
    PlistRoot again({first.Path()});
    SignalCounter onAgain;
    again.SetCallback(&owner, {}, &onAgain);
    again.Load();
    EXPECT_TRUE(change_watcher::ThreadRunning());
    EditElsewhere(again.FilePath(), "k", 2);
    ASSERT_TRUE(onAgain.WaitFor(1, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuiet));
    EXPECT_EQ(onAgain.Count(), 1);
}

TEST(ChangeWatcher, StopWaitsForTheDeliveryInProgress)
{
    TempDir dir;
    std::mutex lock;
    std::condition_variable changed;
    bool inside = false, release = false, finished = false;
    auto root = std::make_unique<PlistRoot>(PlistRoot::Options {dir.Path()}, [&] {
        std::unique_lock<std::mutex> guard(lock);
        inside = true;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
    });
    SignalCounter signals;
    int owner = 0;
    root->SetCallback(&owner, {}, &signals);
    root->Load();
    EditElsewhere(root->FilePath(), "k", 1);
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(5), [&] { return inside; }));
    }
    std::thread stopper([&] {
        root->RemoveOwner(&owner);
        root.reset();
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_FALSE(finished);
        release = true;
        changed.notify_all();
    }
    stopper.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(change_watcher::WatchCount(), 0u);
}

TEST(ChangeWatcher, RootsStopWhileChangesAreDeliveredInALoop)
{
    change_watcher::SetCoalesceMilliseconds(1);
    TempDir dir;
    std::atomic<bool> stop {false};
    std::atomic<int> delivered {0};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            kestrin::policy::test::WriteFile(dir / kPlistFileName,
                                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                             "<key>n</key><integer>"
                                                 + std::to_string(i) + "</integer></dict></plist>\n");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Forty rounds at least, and more while none has seen a delivery yet: on a
    // loaded machine the first changes may take longer than a few rounds.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int round = 0; round < 40 || (delivered == 0 && std::chrono::steady_clock::now() < giveUp); ++round) {
        auto root = std::make_unique<PlistRoot>(PlistRoot::Options {dir.Path()}, [&] { ++delivered; });
        SignalCounter signals;
        int owner = 0;
        root->SetCallback(&owner, {}, &signals);
        root->Load();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        root->RemoveOwner(&owner);
        root.reset();
    }
    stop = true;
    writer.join();
    change_watcher::SetCoalesceMilliseconds(change_watcher::kCoalesceMilliseconds);
    EXPECT_GT(delivered.load(), 0);
    EXPECT_EQ(change_watcher::WatchCount(), 0u);
}

namespace {

// A target that ends its own watch from its callback, the last one left.
class SelfRemoving final : public FolderWatchTarget {
public:
    void OnFolderChanged() override
    {
        change_watcher::RemoveWatch(handle);
        {
            std::lock_guard<std::mutex> guard(lock);
            called = true;
            changed.notify_all();
        }
        // Still on its way out when the test makes its next call.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    uint64_t handle = 0;
    std::mutex lock;
    std::condition_variable changed;
    bool called = false;
};

size_t ThreadCount()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

}  // namespace

// The thread of a run stopped from its own callback is joined by the next
// caller, so it never outlives the library unnoticed.
TEST(ChangeWatcher, ARunStoppedFromItsCallbackIsJoinedByTheNextCaller)
{
    TempDir dir;
    size_t before = ThreadCount();
    SelfRemoving target;
    ASSERT_EQ(change_watcher::AddWatch(dir.Path(), "watched.plist", &target, &target.handle), S_OK);
    {
        std::ofstream(dir.Path() + "/watched.plist") << "x";
    }
    {
        std::unique_lock<std::mutex> guard(target.lock);
        ASSERT_TRUE(target.changed.wait_for(guard, std::chrono::seconds(10), [&] { return target.called; }));
    }
    EXPECT_FALSE(change_watcher::ThreadRunning());
    uint64_t other = 0;
    SelfRemoving next;
    ASSERT_EQ(change_watcher::AddWatch(dir.Path(), "other.plist", &next, &other), S_OK);
    change_watcher::RemoveWatch(other);
    EXPECT_EQ(ThreadCount(), before);
}

#include "plist_root.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <iterator>

#include "signal_counter.h"
#include "test_util.h"

using namespace kestrin::policy;
using kestrin::policy::test::ReadFile;
using kestrin::policy::test::SignalCounter;
using kestrin::policy::test::TempDir;
using kestrin::policy::test::WriteFile;

namespace {

std::string XmlOf(const char* body)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n") + body
           + "</dict>\n</plist>\n";
}

// The value the file on disk holds, read the way a fresh process reads it.
uint32_t NumberOnDisk(const std::string& folder, const KeyPath& path, const char* name)
{
    PlistRoot fresh({folder});
    uint32_t value = 0xDEAD;
    EXPECT_EQ(fresh.GetNumber(path, name, &value), S_OK);
    return value;
}

}  // namespace

TEST(PlistRoot, MissingFileIsCreatedEmptyAndWritesReachDisk)
{
    TempDir home;
    std::string folder = home / "config/kestrin";
    PlistRoot root({folder});
    uint32_t level = 7;
    EXPECT_EQ(root.GetNumber({"trace"}, "Level", &level), E_FAIL);
    EXPECT_EQ(kestrin::policy::test::ModeOf(folder), 0700u);
    EXPECT_EQ(kestrin::policy::test::ModeOf(root.FilePath()), 0600u);
    PlistPtr tree;
    ASSERT_EQ(ParsePlist(ReadFile(root.FilePath()), &tree), S_OK);
    EXPECT_EQ(plist_dict_get_size(tree.get()), 0u);

    ASSERT_EQ(root.SetValue({"trace"}, "Level", NewNumber(5)), S_OK);
    EXPECT_EQ(NumberOnDisk(folder, {"trace"}, "Level"), 5u);
    EXPECT_EQ(kestrin::policy::test::ModeOf(root.FilePath()), 0600u);

    // The system file is never created by reading.
    PlistRoot system({home / "xdg/kestrin", 0755, 0644, false});
    EXPECT_FALSE(system.IsConfigured({}, "x"));
    EXPECT_FALSE(kestrin::policy::test::Exists(home / "xdg/kestrin"));
}

TEST(PlistRoot, NamesKeepTheirSpellingAndCompareWithoutCase)
{
    TempDir dir;
    WriteFile(dir / kPlistFileName, XmlOf("<key>trace</key><dict><key>Level</key><integer>1</integer>"
                                          "<key>sub</key><dict/></dict>"));
    PlistRoot root({dir.Path()});
    ASSERT_EQ(root.SetValue({"TRACE"}, "level", NewNumber(3)), S_OK);
    uint32_t value = 0;
    ASSERT_EQ(root.GetNumber({"Trace"}, "LEVEL", &value), S_OK);
    EXPECT_EQ(value, 3u);
    std::string file = ReadFile(root.FilePath());
    EXPECT_NE(file.find("<key>Level</key>"), std::string::npos);
    EXPECT_EQ(file.find("<key>level</key>"), std::string::npos);
    EXPECT_EQ(file.find("TRACE"), std::string::npos);
    // A sub-key is not a value.
    EXPECT_FALSE(root.IsConfigured({"trace"}, "sub"));
    EXPECT_TRUE(root.IsConfigured({"trace"}, "level"));
    std::string name;
    ASSERT_TRUE(root.SubKeyAt({"trace"}, 0, &name));
    EXPECT_EQ(name, "sub");
    EXPECT_FALSE(root.SubKeyAt({"trace"}, 1, &name));
}

TEST(PlistRoot, WritesThatCannotBeStoredFailAndChangeNothing)
{
    TempDir dir;
    WriteFile(dir / kPlistFileName, XmlOf("<key>trace</key><integer>1</integer>"));
    PlistRoot root({dir.Path()});
    std::string before = ReadFile(root.FilePath());
    // "trace" is a value, not a key: nothing can be stored below it.
    EXPECT_EQ(root.SetValue({"trace", "deeper"}, "Level", NewNumber(5)), E_FAIL);
    EXPECT_EQ(ReadFile(root.FilePath()), before);
    // Removing what is not there is no change and no failure.
    EXPECT_EQ(root.SetValue({"nothing"}, "Level", nullptr), S_OK);
    EXPECT_EQ(root.DeleteSubkey({"nothing"}, "x"), S_OK);
    EXPECT_EQ(ReadFile(root.FilePath()), before);
}

TEST(PlistRoot, CorruptFileIsNeverOverwritten)
{
    for (const char* corrupt : {"not a plist at all", "<?xml version=\"1.0\"?><plist><array/></plist>",
                                "<?xml version=\"1.0\"?><plist><dict><key>a</key>"}) {
        TempDir dir;
        WriteFile(dir / kPlistFileName, corrupt);
        PlistRoot root({dir.Path()});
        uint32_t value;
        EXPECT_EQ(root.GetNumber({}, "a", &value), E_FAIL);
        EXPECT_LT(root.SetValue({"trace"}, "Level", NewNumber(5)), 0) << corrupt;
        EXPECT_LT(root.DeleteSubkey({}, "a"), 0) << corrupt;
        EXPECT_EQ(ReadFile(dir / kPlistFileName), corrupt);
        // Once repaired, writes work again.
        WriteFile(dir / kPlistFileName, XmlOf(""));
        EXPECT_EQ(root.SetValue({"trace"}, "Level", NewNumber(5)), S_OK);
        EXPECT_EQ(NumberOnDisk(dir.Path(), {"trace"}, "Level"), 5u);
    }
}

TEST(PlistRoot, FailedSaveKeepsMemoryAndDiskTheSame)
{
    TempDir dir;
    PlistRoot root({dir.Path()});
    ASSERT_EQ(root.SetValue({"k"}, "small", NewNumber(1)), S_OK);
    std::string before = ReadFile(root.FilePath());

    // A file-size limit makes the save of a large value fail (even for root).
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    std::string big(64 * 1024, 'x');
    HRESULT hr = root.SetValue({"k"}, "big", PlistPtr(plist_new_string(big.c_str())));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);

    EXPECT_LT(hr, 0);
    std::string text;
    EXPECT_EQ(root.GetString({"k"}, "big", &text), E_FAIL);
    EXPECT_EQ(ReadFile(root.FilePath()), before);
    // No temporary file is left in the folder: only the file and its lock file.
    auto entries = std::filesystem::directory_iterator(dir.Path());
    EXPECT_EQ(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)), 2);
}

TEST(PlistRoot, ListenersBySpellingPathAndOwner)
{
    TempDir dir;
    PlistRoot root({dir.Path()});
    ASSERT_EQ(root.SetValue({"profiles", "old"}, "x", NewNumber(1)), S_OK);
    SignalCounter onProfiles, onNew, ownerCallback, replacement, hook;
    int owner1 = 0, owner2 = 0;
    root.SetCallback(&owner1, {"profiles"}, &onProfiles);
    root.SetCallback(&owner2, {"profiles", "new"}, &onNew);

    // A new sub-key tells the listener of the key above it; an existing one does not.
    ASSERT_EQ(root.SetValue({"profiles", "new"}, "x", NewNumber(1)), S_OK);
    EXPECT_EQ(onProfiles.Count(), 1);
    EXPECT_EQ(onNew.Count(), 1);
    ASSERT_EQ(root.SetValue({"profiles", "new"}, "x", NewNumber(2)), S_OK);
    EXPECT_EQ(onProfiles.Count(), 1);
    EXPECT_EQ(onNew.Count(), 2);
    // Deleting a sub-key tells the parent's and the deleted key's listeners.
    ASSERT_EQ(root.DeleteSubkey({"profiles"}, "NEW"), S_OK);
    EXPECT_EQ(onProfiles.Count(), 2);
    EXPECT_EQ(onNew.Count(), 3);

    // An owner's own callback is replaced by its next one and removed by NULL;
    // signals added by others stay, and each is removed alone.
    root.SetCallback(&owner1, {"profiles"}, &ownerCallback);
    root.AddSignal(&owner1, {"profiles"}, &hook);
    root.AddSignal(&owner1, {"profiles"}, &hook);
    root.SetCallback(&owner1, {"profiles"}, &replacement);
    root.SignalAll();
    EXPECT_EQ(onProfiles.Count(), 2);
    EXPECT_EQ(ownerCallback.Count(), 0);
    EXPECT_EQ(replacement.Count(), 1);
    EXPECT_EQ(hook.Count(), 1);
    root.SetCallback(&owner1, {"profiles"}, nullptr);
    root.SignalAll();
    EXPECT_EQ(replacement.Count(), 1);
    EXPECT_EQ(hook.Count(), 2);
    root.RemoveSignal(&owner1, &hook);
    root.RemoveOwner(&owner2);
    root.SignalAll();
    EXPECT_EQ(hook.Count(), 2);
    EXPECT_EQ(onNew.Count(), 5);
}

namespace {
// A signal that removes its own and another listener while being called.
class SelfRemoving : public ZELK::ISignal {
public:
    SelfRemoving(PlistRoot* root, const void* other) : m_root(root), m_other(other) {}
    virtual ~SelfRemoving() = default;
    void Signal() override
    {
        ++calls;
        m_root->RemoveOwner(this);
        m_root->RemoveOwner(m_other);
    }
    int calls = 0;

private:
    PlistRoot* m_root;
    const void* m_other;
};
}  // namespace

TEST(PlistRoot, SignalsMayRemoveListenersWhileBeingCalled)
{
    TempDir dir;
    PlistRoot root({dir.Path()});
    int other = 0;
    SignalCounter later;
    SelfRemoving first(&root, &other);
    root.SetCallback(&first, {}, &first);
    root.SetCallback(&other, {}, &later);
    root.SignalAll();
    root.SignalAll();
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(later.Count(), 0);
}

TEST(PlistRoot, AnotherProcessesChangeIsKeptAndSignalledOnce)
{
    TempDir dir;
    PlistRoot root({dir.Path()});
    SignalCounter listener, elsewhere;
    int owner = 0, owner2 = 0;
    root.SetCallback(&owner, {"mine"}, &listener);
    root.SetCallback(&owner2, {"unrelated"}, &elsewhere);
    ASSERT_EQ(root.SetValue({"mine"}, "a", NewNumber(1)), S_OK);
    EXPECT_EQ(listener.Count(), 1);

    // Another process adds a value less than a second later.
    int status = -1;
    kestrin::policy::test::RunPython("p = '" + root.FilePath()
                                         + "'\n"
                                           "d = plistlib.load(open(p, 'rb'))\n"
                                           "d['theirs'] = {'b': 2}\n"
                                           "open(p, 'wb').write(plistlib.dumps(d))\n",
                                     &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(root.SetValue({"mine"}, "c", NewNumber(3)), S_OK);
    // Everybody hears of the merged outside change once; the write adds nothing.
    EXPECT_EQ(listener.Count(), 2);
    EXPECT_EQ(elsewhere.Count(), 1);
    std::string out = kestrin::policy::test::RunPython("print(json.dumps(plistlib.load(open('" + root.FilePath()
                                                       + "', 'rb')), sort_keys=True))");
    EXPECT_EQ(out, "{\"mine\": {\"a\": 1, \"c\": 3}, \"theirs\": {\"b\": 2}}\n");
    uint32_t value = 0;
    ASSERT_EQ(root.GetNumber({"theirs"}, "b", &value), S_OK);
    EXPECT_EQ(value, 2u);
}

// Reads find dictionaries by path once per tree: a dictionary found, or found
// missing, before a write or another process's change is looked up again.
TEST(PlistRoot, ReadsAfterAChangeSeeTheNewTree)
{
    TempDir dir;
    WriteFile(dir / kPlistFileName, XmlOf("<key>profiles</key><dict><key>a</key><dict><key>n</key><integer>1</integer>"
                                          "</dict></dict>"));
    PlistRoot root({dir.Path()});
    uint32_t value = 0;
    ASSERT_EQ(root.GetNumber({"profiles", "a"}, "n", &value), S_OK);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(root.GetNumber({"profiles", "b"}, "n", &value), E_FAIL);

    ASSERT_EQ(root.SetValue({"profiles", "b"}, "n", NewNumber(2)), S_OK);
    ASSERT_EQ(root.GetNumber({"profiles", "b"}, "n", &value), S_OK);
    EXPECT_EQ(value, 2u);

    int status = -1;
    kestrin::policy::test::RunPython("p = '" + root.FilePath()
                                         + "'\n"
                                           "d = plistlib.load(open(p, 'rb'))\n"
                                           "d['profiles'] = {'a': {'n': 3}}\n"
                                           "open(p, 'wb').write(plistlib.dumps(d))\n",
                                     &status);
    ASSERT_EQ(status, 0);
    // A write elsewhere takes the other process's file in first.
    ASSERT_EQ(root.SetValue({"other"}, "x", NewNumber(1)), S_OK);
    ASSERT_EQ(root.GetNumber({"profiles", "a"}, "n", &value), S_OK);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(root.GetNumber({"profiles", "b"}, "n", &value), E_FAIL);
    ASSERT_EQ(root.GetNumber({"PROFILES", "A"}, "N", &value), S_OK);
    EXPECT_EQ(value, 3u);
}

TEST(PlistRoot, SaveRemovesTemporaryFilesLeftByEarlierProcesses)
{
    TempDir dir;
    PlistRoot root({dir.Path()});
    root.Load();
    // A minute and more: left by a process that stopped mid-save. Younger ones
    // may belong to a writer still at work, and other names are not ours.
    struct Case {
        const char* name;
        int ageSeconds;
        bool removed;
    } cases[] = {{".settings.plist.Ab3xY9", 3600, true},  {".settings.plist.000000", 61, true},
                 {".settings.plist.Fresh1", 5, false},    {".settings.plist.lock", 3600, false},
                 {".settings.plist.Ab3xY", 3600, false},  {".settings.plist.Ab3xY90", 3600, false},
                 {".settings.plist.Ab-xY9", 3600, false}, {"settings.plist.Ab3xY9", 3600, false},
                 {".other.plist.Ab3xY9", 3600, false}};
    for (const Case& c : cases) {
        WriteFile(dir / c.name, "partial");
        struct timespec times[2] = {{time(nullptr) - c.ageSeconds, 0}, {time(nullptr) - c.ageSeconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / c.name).c_str(), times, 0), 0);
    }
    ASSERT_EQ(mkdir((dir / ".settings.plist.Folder").c_str(), 0700), 0);

    ASSERT_EQ(root.SetValue({"trace"}, "Level", NewNumber(1)), S_OK);
    for (const Case& c : cases)
        EXPECT_EQ(kestrin::policy::test::Exists(dir / c.name), !c.removed) << c.name;
    EXPECT_TRUE(kestrin::policy::test::Exists(dir / ".settings.plist.Folder"));
    // The save's own temporary file is gone too.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        ++entries;
    EXPECT_EQ(entries, 1 + std::size(cases) - 2 + 1);
}

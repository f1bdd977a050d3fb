// Chains: the system store over the user store, read-only chains, temporary
// clones, merged enumeration and change callbacks that never dangle.
#include "policy_fixture.h"
#include "signal_counter.h"

using namespace kestrin::policy::test;

namespace {

std::string Fail(int hr)
{
    return "<fail:" + std::to_string(hr) + ">";
}

}  // namespace

TEST_F(PolicyTable, SystemValuesWinAndCannotBeChangedByTheUser)
{
    WriteSystemPlist("{'Common': {'TrustDB': 'pkcs11:admin', 'Locked': 7}}");
    {
        int status = -1;
        RunPython("os.makedirs('" + UserFolder()
                      + "', exist_ok=True)\nplistlib.dump({'Common': {'TrustDB': 'mine', "
                        "'Own': 'u'}}, open('"
                      + UserFile() + "', 'wb'))\n",
                  &status);
        ASSERT_EQ(status, 0);
    }
    std::string systemBefore = ReadFile(SystemFile());
    std::string userBefore = ReadFile(UserFile());

    Policy common;
    ASSERT_EQ(ZELK_PolOpen("Common", &common), S_OK);
    EXPECT_EQ(Text(common.get(), "TrustDB"), "pkcs11:admin");
    EXPECT_FALSE(common->IsChangeable("TrustDB"));
    EXPECT_TRUE(common->IsFromPolicy("TrustDB"));
    EXPECT_EQ(common->SetString("TrustDB", "x"), E_ACCESSDENIED);
    EXPECT_EQ(common->SetDWORD("locked", 1), E_ACCESSDENIED);
    EXPECT_EQ(ReadFile(SystemFile()), systemBefore);
    EXPECT_EQ(ReadFile(UserFile()), userBefore);

    // Values only the user holds are read and written in the user file.
    EXPECT_EQ(Text(common.get(), "Own"), "u");
    EXPECT_TRUE(common->IsChangeable("Own"));
    EXPECT_EQ(common->SetString("Own", "v"), S_OK);
    EXPECT_EQ(PeerRead(UserFile(), "d['Common']['Own']"), "\"v\"");
    // A value nobody holds is read from the user store, and fails.
    EXPECT_EQ(Text(common.get(), "Nobody"), Fail(E_FAIL));

    // Deleting goes to the user store even for a name the system holds.
    EXPECT_EQ(common->DeleteSubkey("TrustDB"), S_OK);
    EXPECT_EQ(PeerRead(UserFile(), "sorted(d['Common'])"), "[\"Own\"]");
    EXPECT_EQ(ReadFile(SystemFile()), systemBefore);
}

TEST_F(PolicyTable, ChainConstructionIsChecked)
{
    Policy a, b, chain;
    ASSERT_EQ(ZELK_PolOpenType("x", "zelk.policy.mem", &a), S_OK);
    ASSERT_EQ(ZELK_PolOpenType("x", "zelk.policy.mem", &b), S_OK);
    ZELK_IPolicy* five[] = {a.get(), b.get(), a.get(), b.get(), a.get()};
    EXPECT_EQ(ZELK_PolCreateChain(five, 5, 0, &chain), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolCreateChain(five, 0, 0, &chain), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolCreateChain(five, 2, 2, &chain), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolCreateChain(nullptr, 2, 0, &chain), E_INVALIDARG);
    ZELK_IPolicy* withNull[] = {a.get(), nullptr};
    EXPECT_EQ(ZELK_PolCreateChain(withNull, 2, 0, &chain), E_INVALIDARG);
    EXPECT_EQ(chain.get(), nullptr);

    ASSERT_EQ(b->SetString("Name", "from b"), S_OK);
    ASSERT_EQ(ZELK_PolCreateChain(five, 4, ZELK_POLICY_NO_WRITE, &chain), S_OK);
    EXPECT_EQ(Text(chain.get(), "Name"), "from b");
    EXPECT_FALSE(chain->IsChangeable("Name"));
    EXPECT_FALSE(chain->IsFromPolicy("Name"));
    EXPECT_EQ(chain->SetString("Name", "x"), E_ACCESSDENIED);
    EXPECT_EQ(chain->SetDWORD("Other", 1), E_ACCESSDENIED);
    EXPECT_EQ(chain->DeleteSubkey("Name"), E_ACCESSDENIED);
    EXPECT_EQ(Text(b.get(), "Name"), "from b");
    EXPECT_STREQ(chain->GetPath(), "x");
    EXPECT_EQ(chain->Bind("x", 1), E_NOTIMPL);
    EXPECT_EQ(chain->SetConfigPath("f"), E_NOTIMPL);
}

TEST_F(PolicyTable, TemporaryCloneKeepsItsChangesInMemory)
{
    Policy trace;
    ASSERT_EQ(ZELK_PolOpen("trace", &trace), S_OK);
    ASSERT_EQ(trace->SetDWORD("Level", 3), S_OK);
    ASSERT_EQ(trace->SetString("File", "/tmp/t.log"), S_OK);
    std::string before = ReadFile(UserFile());

    Policy clone;
    ASSERT_EQ(ZELK_PolGetTempClone(trace.get(), &clone), S_OK);
    EXPECT_STREQ(clone->GetPath(), "trace");
    EXPECT_EQ(clone->GetDWORD("Level"), 3u);
    EXPECT_EQ(clone->GetDWORD("Unset"), 0u);
    EXPECT_EQ(Text(clone.get(), "File"), "/tmp/t.log");
    EXPECT_EQ(clone->SetDWORD("Level", 9), S_OK);
    EXPECT_EQ(clone->SetString("File", "other"), S_OK);
    EXPECT_EQ(clone->GetDWORD("Level"), 9u);
    EXPECT_EQ(Text(clone.get(), "File"), "other");
    EXPECT_EQ(trace->GetDWORD("Level"), 3u);
    EXPECT_EQ(ReadFile(UserFile()), before);
}

TEST_F(PolicyTable, EnumerationMergesTheMembersNames)
{
    WriteSystemPlist("{'profiles': {'shared': {}, 'admin': {}, 'Case': {}, 'value': 1}}");
    Policy profiles;
    ASSERT_EQ(ZELK_PolOpen("profiles", &profiles), S_OK);
    Policy shared, mine, lower;
    ASSERT_EQ(profiles->OpenChild("shared", 0, &shared), S_OK);
    ASSERT_EQ(shared->SetDWORD("n", 1), S_OK);
    ASSERT_EQ(profiles->OpenChild("mine", 0, &mine), S_OK);
    ASSERT_EQ(mine->SetDWORD("n", 2), S_OK);
    ASSERT_EQ(profiles->OpenChild("case", 0, &lower), S_OK);
    ASSERT_EQ(lower->SetDWORD("n", 3), S_OK);

    std::vector<std::string> names;
    char name[64];
    for (long i = 0; profiles->EnumSubKey(i, name, sizeof name) == S_OK; ++i)
        names.emplace_back(name);
    EXPECT_EQ(names, (std::vector<std::string> {"shared", "admin", "Case", "mine", "case"}));
    EXPECT_EQ(profiles->EnumSubKey(5, name, sizeof name), S_FALSE);
    EXPECT_STREQ(name, "");
    Policy past;
    EXPECT_EQ(profiles->OpenSubKey(5, &past), S_FALSE);
    EXPECT_EQ(past.get(), nullptr);
    // A short buffer still gets a terminated name.
    char small[4];
    EXPECT_EQ(profiles->EnumSubKey(0, small, sizeof small), S_OK);
    EXPECT_STREQ(small, "sha");

    Policy opened;
    ASSERT_EQ(profiles->OpenSubKey(3, &opened), S_OK);
    EXPECT_STREQ(opened->GetPath(), "profiles/mine");
    EXPECT_STREQ(opened->GetName(), "mine");
    EXPECT_EQ(opened->GetDWORD("n"), 2u);

    // A sub-key written after the first enumeration shows up in the next one.
    Policy added;
    ASSERT_EQ(profiles->OpenChild("added", 0, &added), S_OK);
    ASSERT_EQ(added->SetDWORD("n", 4), S_OK);
    EXPECT_EQ(profiles->EnumSubKey(5, name, sizeof name), S_OK);
    EXPECT_STREQ(name, "added");

    // A memory store in a chain lists nothing and stops nothing.
    Policy memory, mixed;
    ASSERT_EQ(ZELK_PolOpenType("profiles", "zelk.policy.mem", &memory), S_OK);
    EXPECT_EQ(memory->EnumSubKey(0, name, sizeof name), E_NOTIMPL);
    ZELK_IPolicy* members[] = {memory.get(), profiles.get()};
    ASSERT_EQ(ZELK_PolCreateChain(members, 2, 0, &mixed), S_OK);
    EXPECT_EQ(mixed->EnumSubKey(0, name, sizeof name), S_OK);
    EXPECT_STREQ(name, "shared");
    // Children of a chain with a memory store cannot be made.
    Policy child;
    EXPECT_EQ(mixed->OpenChild("shared", 0, &child), E_INVALIDARG);
}

// A clone hooks its caller's object: the caller keeps its own callback, and a
// destroyed clone is never called again.
TEST_F(PolicyTable, ClonesNeitherStealNorLeaveDanglingCallbacks)
{
    Policy trace;
    ASSERT_EQ(ZELK_PolOpen("trace", &trace), S_OK);
    SignalCounter owner;
    ASSERT_EQ(trace->RegisterCallback(&owner), S_OK);
    ASSERT_EQ(trace->SetDWORD("Level", 1), S_OK);
    EXPECT_EQ(owner.Count(), 1);

    {
        auto cloneCallback = std::make_unique<SignalCounter>();
        Policy clone;
        ASSERT_EQ(ZELK_PolGetTempClone(trace.get(), &clone), S_OK);
        ASSERT_EQ(clone->RegisterCallback(cloneCallback.get()), S_OK);
        ASSERT_EQ(trace->SetDWORD("Level", 2), S_OK);
        EXPECT_EQ(owner.Count(), 2);
        EXPECT_EQ(cloneCallback->Count(), 1);
        // Replacing the clone's callback replaces only that one.
        SignalCounter second;
        ASSERT_EQ(clone->RegisterCallback(&second), S_OK);
        ASSERT_EQ(trace->SetDWORD("Level", 3), S_OK);
        EXPECT_EQ(cloneCallback->Count(), 1);
        EXPECT_EQ(second.Count(), 1);
        ASSERT_EQ(clone->RegisterCallback(nullptr), S_OK);
        ASSERT_EQ(trace->SetDWORD("Level", 4), S_OK);
        EXPECT_EQ(second.Count(), 1);
        EXPECT_EQ(owner.Count(), 4);
        ASSERT_EQ(clone->RegisterCallback(cloneCallback.get()), S_OK);
    }
    // The clone and its callback are gone; the owner is still told.
    ASSERT_EQ(trace->SetDWORD("Level", 5), S_OK);
    EXPECT_EQ(owner.Count(), 5);

    // Removing the owner's callback ends its signals.
    ASSERT_EQ(trace->RegisterCallback(nullptr), S_OK);
    ASSERT_EQ(trace->SetDWORD("Level", 6), S_OK);
    EXPECT_EQ(owner.Count(), 5);
}

TEST_F(PolicyTable, CallbacksHearTheirKeyAndNewSubKeysBelowIt)
{
    Policy profiles, other;
    ASSERT_EQ(ZELK_PolOpen("profiles", &profiles), S_OK);
    ASSERT_EQ(ZELK_PolOpen("system", &other), S_OK);
    SignalCounter onProfiles, onOther;
    ASSERT_EQ(profiles->RegisterCallback(&onProfiles), S_OK);
    ASSERT_EQ(other->RegisterCallback(&onOther), S_OK);

    Policy fresh;
    ASSERT_EQ(profiles->OpenChild("new", 0, &fresh), S_OK);
    ASSERT_EQ(fresh->SetDWORD("n", 1), S_OK);  // creates profiles/new
    EXPECT_EQ(onProfiles.Count(), 1);
    ASSERT_EQ(fresh->SetDWORD("n", 2), S_OK);  // profiles/new exists now
    EXPECT_EQ(onProfiles.Count(), 1);
    SignalCounter onFresh;
    ASSERT_EQ(fresh->RegisterCallback(&onFresh), S_OK);
    // Deleting the sub-key tells its parent and the key itself.
    ASSERT_EQ(profiles->DeleteSubkey("NEW"), S_OK);
    EXPECT_EQ(onProfiles.Count(), 2);
    EXPECT_EQ(onFresh.Count(), 1);
    EXPECT_EQ(onOther.Count(), 0);
    EXPECT_EQ(PeerRead(UserFile(), "d['profiles']"), "{}");
}

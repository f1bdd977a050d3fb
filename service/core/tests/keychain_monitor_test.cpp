// The keychain monitor over a real key store in temporary XDG folders:
// identities made by openssl and imported through "keychain_api", the
// administrator's "Common/CAPI" filter written by Python's plistlib, changes
// of another process, and the reader manager's slots and events.
#include "keychain_monitor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_slots.h"
#include "fakes/fake_trust_keychain.h"
#include "fakes/recording_sink.h"
#include "keychain_identities.h"
#include "reader_manager.h"
#include "runtime_test_util.h"
#include "service_fixture.h"
#include "test_process.h"
#include "zelk_keychain_client.h"
#include "zelk_policy_client.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CKeychainMonitor;
using ZELK::PSESVC::CMonitor;
using ZELK::PSESVC::CReaderMgr;

// Identities made once for the program.
class Identities {
public:
    static Identities& Get()
    {
        static Identities identities;
        return identities;
    }
    const KeychainIdentity& operator[](const std::string& name) { return m_made[name]; }
    const std::string& folder() const { return m_folder.path(); }

private:
    Identities() : m_folder("zelkkeychainpki-")
    {
        const std::string ec = "ec -pkeyopt ec_paramgen_curve:P-256";
        struct {
            const char* name;
            std::string key;
            const char* subject;
            const char* friendly;
        } made[] = {
            {"rsa", "rsa:2048", "/O=Kestrin Test/CN=Alice RSA", "Alice"},
            {"ec", ec, "/O=Kestrin Test/CN=Bob EC", "Bob"},
            {"own", ec, "/O=Kestrin Test/CN=Enrolled", "QEV Kestrin x"},
            {"nameless", ec, "/O=Kestrin Test/OU=Nameless", "nameless"},
            {"excluded", ec, "/O=Kestrin Test/CN=Excluded Eve", "Eve"},
            {"late", "rsa:2048", "/O=Kestrin Test/CN=Late Larry", "Larry"},
        };
        for (const auto& m : made) {
            KeychainIdentity identity;
            if (MakeKeychainIdentity(m_folder.path(), m.name, m.key, m.subject, m.friendly, &identity))
                m_made[m.name] = identity;
        }
    }
    testsupport::TempFolder m_folder;
    std::map<std::string, KeychainIdentity> m_made;
};

class KeychainMonitorTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.path().empty());
        for (const char* name : {"rsa", "ec", "own", "nameless", "excluded", "late"})
            ASSERT_FALSE(Identities::Get()[name].slot.empty()) << name;
        setenv("XDG_DATA_HOME", (m_home.path() + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_home.path() + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_home.path() + "/system").c_str(), 1);
        ServiceTest::SetUp();
        FakeSlots::Clear();
        FakeReaders::Enable(true);
        FakeTrustKeychain::s_dirtyMarks = 0;
        ASSERT_EQ(CSingletonFactoryImpl<CReaderMgr>::New(&m_readers), S_OK);
        CComObject<RecordingSink>::CreateInstance(&m_sink);
        m_sink->AddRef();
        m_readers->RegisterEventSink(static_cast<ZELK::PSESVC::ISlotEvents*>(m_sink));
        CaptureTrace(4);
    }
    void TearDown() override
    {
        if (m_monitor)
            Stop();
        m_readers->UnregisterEventSink(nullptr);
        m_readers->Release();
        m_sink->Release();
        ServiceTest::TearDown();
        FakeReaders::Enable(false);
        FakeSlots::Clear();
    }

    // A monitor of the test's own, after its first load.
    CKeychainMonitor* Start()
    {
        CComObject<CKeychainMonitor>* monitor = nullptr;
        EXPECT_EQ(CComObject<CKeychainMonitor>::CreateInstance(&monitor), S_OK);
        monitor->AddRef();
        monitor->Initialize();
        m_monitor = monitor;
        CMonitor::WaitForAllInitialized();
        return m_monitor;
    }
    void Stop()
    {
        m_monitor->Finalize();
        m_monitor->Release();
        m_monitor = nullptr;
    }

    static void Import(const std::string& name)
    {
        const KeychainIdentity& identity = Identities::Get()[name];
        OctetString data {identity.bytes.size(), const_cast<unsigned char*>(identity.bytes.data())};
        ASSERT_EQ(KeyChainImportFromP12(name.c_str(), "secret", &data, false, false), S_OK) << name;
    }
    static std::string Slot(const std::string& name) { return Identities::Get()[name].slot; }
    static std::string Sha1(const std::string& name) { return Slot(name).substr(std::strlen("tokkeychain:cert=")); }

    // Another process runs these steps on the store.
    static int Child(const std::vector<std::string>& steps)
    {
        std::vector<std::string> args {test_program_dir() + "/zelk_keystore_child"};
        args.insert(args.end(), steps.begin(), steps.end());
        return testsupport::RunProgram(args, {});
    }

    // The administrator's settings, written whole by plistlib.
    void WriteSystemPolicy(const std::string& capi)
    {
        std::string folder = m_home.path() + "/system/kestrin";
        std::string script = "import os, plistlib\nos.makedirs('" + folder
                             + "', exist_ok=True)\n"
                               "plistlib.dump({'Common': {'CAPI': "
                             + capi + "}}, open('" + folder + "/settings.new', 'wb'))\nos.rename('" + folder
                             + "/settings.new', '" + folder + "/settings.plist')\n";
        ASSERT_EQ(testsupport::RunProgram({"python3", "-c", script}, {}), 0);
    }
    static std::string PolicyText(const char* name)
    {
        ZELK_IPolicy* policy = nullptr;
        if (ZELK_PolOpen("Common/CAPI", &policy) != S_OK || policy == nullptr)
            return "";
        char* value = nullptr;
        std::string text;
        if (policy->GetString(name, &value) == S_OK && value)
            text = value;
        sec_free(value);
        policy->Release();
        return text;
    }

    std::vector<std::string> Events() { return m_sink->Events(); }
    size_t CountEvents(const std::string& event)
    {
        std::vector<std::string> events = Events();
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }
    bool HasSlot(const std::string& name) { return m_readers->ReaderGet(name.c_str(), nullptr) >= 0; }
    static std::vector<std::string> ReaderDels()
    {
        std::vector<std::string> dels;
        for (const std::string& call : FakeReaders::Calls())
            if (call.rfind("del ", 0) == 0)
                dels.push_back(call.substr(4));
        return dels;
    }

    testsupport::TempFolder m_home {"zelkkeychain-"};
    CReaderMgr* m_readers = nullptr;
    CComObject<RecordingSink>* m_sink = nullptr;
    CKeychainMonitor* m_monitor = nullptr;
};

const std::string kInserted = "200 ";
const std::string kRemoved = "100 ";

TEST_F(KeychainMonitorTest, MatchingIdentitiesBecomeSlotsAndTheSystemsOwnNever)
{
    WriteSystemPolicy("{'CAPIFilterExcludeSubjectDN': 'excluded eve'}");
    for (const char* name : {"rsa", "ec", "own", "nameless", "excluded"})
        Import(name);
    Start();

    std::set<std::string> inserted;
    for (const std::string& event : Events()) {
        ASSERT_EQ(event.rfind(kInserted, 0), 0u) << event;
        inserted.insert(event.substr(kInserted.size()));
    }
    EXPECT_EQ(inserted, (std::set<std::string> {Slot("rsa"), Slot("ec"), Slot("nameless")}));
    EXPECT_EQ(Events().size(), 3u);
    for (const char* name : {"rsa", "ec", "nameless"})
        EXPECT_TRUE(HasSlot(Slot(name))) << name;
    for (const char* name : {"own", "excluded"})
        EXPECT_FALSE(HasSlot(Slot(name))) << name;

    // The system's own identity is not even traced; the others are, a
    // certificate without common name as "<unknown>", without closing parenthesis.
    const std::string traced = "Add keychain identity with certificate (common name \"";
    EXPECT_EQ(CountTrace(traced + "Alice RSA\""), 1u);
    EXPECT_EQ(CountTrace(traced + "<unknown>\""), 1u);
    EXPECT_EQ(CountTrace(traced + "Excluded Eve\""), 1u);
    EXPECT_EQ(CountTrace(traced + "Enrolled\""), 0u);
    EXPECT_EQ(CountTrace(traced + "Alice RSA\")"), 0u);
}

TEST_F(KeychainMonitorTest, AFilterChangeTakesEffectAtTheNextStoreChange)
{
    WriteSystemPolicy("{'CAPIFilterExcludeSubjectDN': 'excluded eve'}");
    for (const char* name : {"rsa", "ec", "excluded"})
        Import(name);
    Start();
    EXPECT_EQ(Events().size(), 2u);
    EXPECT_FALSE(HasSlot(Slot("excluded")));

    WriteSystemPolicy("{'CAPIFilterExcludeSubjectDN': 'alice'}");
    ASSERT_TRUE(WaitFor([] { return PolicyText("CAPIFilterExcludeSubjectDN") == "alice"; }, std::chrono::seconds(60)));
    EXPECT_EQ(CountEvents(kRemoved + Slot("rsa")), 0u);  // no store change yet

    Import("late");
    ASSERT_TRUE(WaitFor([&] { return CountEvents(kRemoved + Slot("rsa")) == 1; }));
    EXPECT_EQ(CountEvents(kInserted + Slot("excluded")), 1u);
    EXPECT_EQ(CountEvents(kInserted + Slot("late")), 1u);
    EXPECT_EQ(CountEvents(kInserted + Slot("ec")), 2u);  // every reload reports what still matches
    EXPECT_FALSE(HasSlot(Slot("rsa")));
    EXPECT_EQ(ReaderDels(), std::vector<std::string> {Slot("rsa")});
    EXPECT_EQ(CountTrace("KEYCHAIN::Event:: remove identity " + Slot("rsa") + "."), 1u);
}

TEST_F(KeychainMonitorTest, AnotherProcessAddsAndDeletesIdentities)
{
    Start();
    EXPECT_TRUE(Events().empty());
    ASSERT_EQ(Child({"import", Identities::Get()["rsa"].p12, "import", Identities::Get()["ec"].p12, "import",
                     Identities::Get()["own"].p12, "import", Identities::Get()["late"].p12}),
              0);
    ASSERT_TRUE(WaitFor([&] {
        return CountEvents(kInserted + Slot("rsa")) && CountEvents(kInserted + Slot("ec"))
               && CountEvents(kInserted + Slot("late"));
    }));
    EXPECT_GE(FakeTrustKeychain::s_dirtyMarks, 1);

    ASSERT_EQ(Child({"delete", Sha1("ec")}), 0);
    ASSERT_TRUE(WaitFor([&] { return CountEvents(kRemoved + Slot("ec")) == 1; }));
    EXPECT_FALSE(HasSlot(Slot("ec")));
    EXPECT_TRUE(HasSlot(Slot("rsa")));
    EXPECT_TRUE(HasSlot(Slot("late")));
    EXPECT_EQ(ReaderDels(), std::vector<std::string> {Slot("ec")});
    for (const std::string& event : Events()) {
        EXPECT_EQ(event.find(Slot("own")), std::string::npos);
        if (event.rfind(kRemoved, 0) == 0) {
            EXPECT_EQ(event, kRemoved + Slot("ec"));
        }
    }
}

TEST_F(KeychainMonitorTest, ATrustChangeOnlyMarksTheTrustList)
{
    Import("rsa");
    Start();
    ASSERT_EQ(CountTrace("{ CKeychainMonitor::Reload"), 1u);
    const int marks = FakeTrustKeychain::s_dirtyMarks;

    std::unique_ptr<kestrin::keystore::KeyStore> other;
    ASSERT_EQ(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &other), S_OK);
    const std::vector<uint8_t>& der = Identities::Get()["late"].certificate;
    ASSERT_EQ(
        other->SetTrustSetting(kestrin::keystore::TrustDomain::User, der, kestrin::keystore::TrustSetting::Trusted),
        S_OK);
    ASSERT_TRUE(WaitFor([&] { return FakeTrustKeychain::s_dirtyMarks > marks; }));
    // The mark came with no reload; the next identity change brings one.
    EXPECT_FALSE(WaitFor([&] { return CountTrace("{ CKeychainMonitor::Reload") > 1; }, std::chrono::milliseconds(300)));
    Import("ec");
    ASSERT_TRUE(WaitFor([&] { return CountEvents(kInserted + Slot("ec")) == 1; }));
    EXPECT_EQ(CountTrace("{ CKeychainMonitor::Reload"), 2u);
}

TEST_F(KeychainMonitorTest, StoppingDuringABurstOfOutsideChangesLeavesNoCallbackBehind)
{
    testsupport::ChildProcess burst;
    Start();
    ASSERT_TRUE(
        burst.Start({test_program_dir() + "/zelk_keystore_child", "burst", Identities::Get()["rsa"].p12, "40"}, {}));
    ASSERT_TRUE(WaitFor([&] { return FakeTrustKeychain::s_dirtyMarks > 0; }));
    Stop();
    const int marks = FakeTrustKeychain::s_dirtyMarks;
    std::string line;
    while (burst.ReadLine(line, 30)) {
    }
    burst.Stop();
    // The store went on changing; nothing reached the stopped monitor.
    Import("ec");
    EXPECT_EQ(FakeTrustKeychain::s_dirtyMarks, marks);
    EXPECT_EQ(CMonitor::InitializedCount(), 0);
}

TEST_F(KeychainMonitorTest, AFileThatIsNoKeyStoreIsTracedAndLeftAlone)
{
    std::string folder = m_home.path() + "/data/kestrin";
    ASSERT_EQ(testsupport::RunProgram({"mkdir", "-p", folder}, {}), 0);
    const std::string garbage = "not a key store, just text\n";
    std::ofstream(folder + "/keystore.db") << garbage;
    Start();
    EXPECT_EQ(CountTrace("1:Key store not available: "), 1u);
    EXPECT_EQ(CountTrace("{ CKeychainMonitor::Reload"), 0u);
    EXPECT_TRUE(Events().empty());
    std::ifstream in(folder + "/keystore.db");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), garbage);
}

}  // namespace
}  // namespace kestrin::service::test

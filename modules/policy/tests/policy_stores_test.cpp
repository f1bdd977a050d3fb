// The memory store and the INI store through their classes.
#include <sys/stat.h>

#include <filesystem>

#include "policy_fixture.h"

using namespace kestrin::policy::test;

namespace {

std::string Fail(int hr)
{
    return "<fail:" + std::to_string(hr) + ">";
}

OctetString Bytes(const char* data, size_t length)
{
    return OctetString {length, reinterpret_cast<unsigned char*>(const_cast<char*>(data))};
}

}  // namespace

TEST_F(PolicyTable, MemoryStoreHoldsOneKindPerName)
{
    Policy memory;
    ASSERT_EQ(ZELK_PolOpenType("/", "zelk.policy.mem", &memory), S_OK);
    EXPECT_STREQ(memory->GetPath(), "/");
    EXPECT_EQ(memory->SetDWORD("Level", 5), S_OK);
    EXPECT_EQ(memory->GetDWORD("level"), 5u);
    EXPECT_TRUE(memory->IsConfigured("LEVEL"));
    // A number is no text: the read fails rather than succeeding with nothing.
    char* text = reinterpret_cast<char*>(1);
    EXPECT_EQ(memory->GetString("Level", &text), E_FAIL);
    EXPECT_EQ(text, nullptr);
    OctetString* bytes = nullptr;
    EXPECT_EQ(memory->GetBinary("Level", &bytes), E_FAIL);
    EXPECT_EQ(bytes, nullptr);

    EXPECT_EQ(memory->SetString("Level", "x"), S_OK);
    EXPECT_EQ(memory->GetDWORD("Level"), 0u);
    EXPECT_EQ(Text(memory.get(), "Level"), "x");

    OctetString in = Bytes("\x00\x01\xff", 3);
    EXPECT_EQ(memory->SetBinary("Blob", &in), S_OK);
    ASSERT_EQ(memory->GetBinary("blob", &bytes), S_OK);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes->data), bytes->length), std::string("\x00\x01\xff", 3));
    FreeOctets(bytes);
    EXPECT_EQ(Text(memory.get(), "Blob"), Fail(E_FAIL));
    EXPECT_EQ(Text(memory.get(), "missing"), Fail(E_FAIL));

    char name[8];
    Policy out;
    EXPECT_EQ(memory->EnumSubKey(0, name, sizeof name), E_NOTIMPL);
    EXPECT_EQ(memory->OpenSubKey(0, &out), E_NOTIMPL);
    EXPECT_EQ(memory->OpenChild("x", 0, &out), E_NOTIMPL);
    EXPECT_EQ(memory->DeleteSubkey("Level"), E_NOTIMPL);
    EXPECT_EQ(memory->RegisterCallback(nullptr), E_NOTIMPL);
    EXPECT_TRUE(memory->IsChangeable("Level"));
    EXPECT_FALSE(memory->IsFromPolicy("Level"));
}

class IniStore : public PolicyTable {
protected:
    // Released while the module is still loaded.
    void TearDown() override
    {
        m_ini.reset();
        PolicyTable::TearDown();
    }
    void Open(const std::string& content, const char* path = "common")
    {
        WriteFile(m_file, content);
        ASSERT_EQ(ZELK_PolOpenType(path, "zelk.policy.file.nodefault", &m_ini), S_OK);
        ASSERT_EQ(m_ini->SetConfigPath(m_file.c_str()), S_OK);
    }
    std::string m_file = m_home / "policy.ini";
    Policy m_ini;
};

TEST_F(IniStore, ReadsValuesOfTheBoundSection)
{
    Open("; settings\n[Other]\nTrustDB = no\n  [Common]\n  TrustDB  =   keychain:\nYes=yes\nNo = Nein\n"
         "Num = 12abc\nQuoted = \"a b\"\nEmpty =   \n# comment\nbroken line\n");
    EXPECT_EQ(Text(m_ini.get(), "trustdb"), "keychain:");
    EXPECT_EQ(Text(m_ini.get(), "Quoted"), "a b");
    EXPECT_EQ(m_ini->GetDWORD("Yes"), 1u);
    EXPECT_EQ(m_ini->GetDWORD("No"), 0u);
    EXPECT_EQ(m_ini->GetDWORD("Num"), 12u);
    EXPECT_FALSE(m_ini->IsConfigured("Empty"));
    EXPECT_EQ(Text(m_ini.get(), "Empty"), Fail(E_FAIL));
    EXPECT_FALSE(m_ini->IsConfigured("Missing"));
    EXPECT_STREQ(m_ini->GetPath(), "common");
}

TEST_F(IniStore, BinaryReadsFailWithoutABufferWhenMissingOrUndecodable)
{
    Open("[common]\nGood = AAH/\nBad = not*base64\n");
    OctetString* bytes = nullptr;
    ASSERT_EQ(m_ini->GetBinary("Good", &bytes), S_OK);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes->data), bytes->length), std::string("\x00\x01\xff", 3));
    FreeOctets(bytes);
    for (const char* name : {"Bad", "Missing"}) {
        bytes = reinterpret_cast<OctetString*>(1);
        EXPECT_EQ(m_ini->GetBinary(name, &bytes), E_FAIL) << name;
        EXPECT_EQ(bytes, nullptr) << name;
    }
    EXPECT_EQ(m_ini->GetBinary("Good", nullptr), E_POINTER);

    OctetString in = Bytes("\xfa\xfb", 2);
    ASSERT_EQ(m_ini->SetBinary("Bad", &in), S_OK);
    EXPECT_NE(ReadFile(m_file).find("Bad = +vs=\r\n"), std::string::npos);
}

TEST_F(IniStore, WritesReplaceValuesAtomicallyAndReportFailures)
{
    Open("[common]\nTrustDB = a-rather-long-value\nLevel=1\n");
    EXPECT_EQ(m_ini->SetString("TrustDB", "short"), S_OK);
    EXPECT_EQ(m_ini->SetDWORD("level", 42), S_OK);
    // The file ended with a line break: that empty last line is kept.
    EXPECT_EQ(ReadFile(m_file), "[common]\r\nTrustDB = short\r\nLevel=42\r\n\r\n");
    EXPECT_EQ(m_ini->GetDWORD("Level"), 42u);
    // Numbers are written as their 32 bits taken signed, and read back whole.
    for (unsigned number : {4294967295u, 2147483648u, 2147483647u, 0u}) {
        EXPECT_EQ(m_ini->SetDWORD("Level", number), S_OK);
        EXPECT_NE(ReadFile(m_file).find("Level=" + std::to_string(static_cast<int32_t>(number)) + "\r\n"),
                  std::string::npos);
        EXPECT_EQ(m_ini->GetDWORD("Level"), number);
    }
    EXPECT_EQ(m_ini->SetDWORD("Level", 42), S_OK);

    std::string before = ReadFile(m_file);
    EXPECT_EQ(m_ini->SetString("NotThere", "x"), E_FAIL);
    EXPECT_EQ(ReadFile(m_file), before);
    EXPECT_EQ(m_ini->SetString("Level", "two\nlines"), E_INVALIDARG);
    EXPECT_EQ(ReadFile(m_file), before);

    // The folder is gone: the write cannot reach the disk and says so.
    std::string gone = m_home / "gone";
    mkdir(gone.c_str(), 0700);
    std::string moved = gone + "/policy.ini";
    WriteFile(moved, "[common]\nLevel=1\n");
    Policy other;
    ASSERT_EQ(ZELK_PolOpenType("common", "zelk.policy.file.nodefault", &other), S_OK);
    ASSERT_EQ(other->SetConfigPath(moved.c_str()), S_OK);
    std::filesystem::remove_all(gone);
    EXPECT_LT(other->SetDWORD("Level", 2), 0);
    // A store without a file reads nothing.
    Policy none;
    ASSERT_EQ(ZELK_PolOpenType("common", "zelk.policy.file.nodefault", &none), S_OK);
    EXPECT_EQ(none->SetConfigPath(moved.c_str()), E_FAIL);
    EXPECT_FALSE(none->IsConfigured("Level"));
}

TEST_F(IniStore, SubKeysComeFromSectionHeaders)
{
    Open("[a\\b]\nx=1\n[Common/CAPI]\nv=2\n[common/GVX/deep]\n[COMMON/capi/other]\n[Commonplace]\n", "/");
    char name[16];
    std::vector<std::string> names;
    for (long i = 0; m_ini->EnumSubKey(i, name, sizeof name) == S_OK; ++i)
        names.emplace_back(name);
    EXPECT_EQ(names, (std::vector<std::string> {"a", "Common", "Commonplace"}));
    EXPECT_EQ(m_ini->EnumSubKey(3, name, sizeof name), E_FAIL);
    EXPECT_STREQ(name, "");
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(m_ini->EnumSubKey(2, small, sizeof small), S_OK);
    EXPECT_STREQ(small, "Co");
    EXPECT_EQ(m_ini->EnumSubKey(0, nullptr, 4), E_FAIL);

    Policy common;
    ASSERT_EQ(m_ini->OpenSubKey(1, &common), S_OK);
    EXPECT_STREQ(common->GetPath(), "Common");
    for (long i = 0; i < 2; ++i) {
        ASSERT_EQ(common->EnumSubKey(i, name, sizeof name), S_OK);
        EXPECT_STREQ(name, i == 0 ? "CAPI" : "GVX");
    }
    Policy capi;
    ASSERT_EQ(common->OpenSubKey(0, &capi), S_OK);
    EXPECT_STREQ(capi->GetPath(), "Common/CAPI");
    EXPECT_EQ(capi->GetDWORD("v"), 2u);
    Policy past;
    EXPECT_EQ(common->OpenSubKey(2, &past), E_FAIL);
    EXPECT_EQ(m_ini->OpenChild("a", 0, &past), E_NOTIMPL);
    EXPECT_EQ(m_ini->DeleteSubkey("a"), E_NOTIMPL);
}

#include "ini_file.h"

#include <gtest/gtest.h>

#include "test_util.h"

using namespace kestrin::policy;
using kestrin::policy::test::ReadFile;
using kestrin::policy::test::TempDir;
using kestrin::policy::test::WriteFile;

TEST(IniFile, ReadsSectionsKeysAndSubKeys)
{
    TempDir dir;
    std::string path = dir / "policy.ini";
    WriteFile(path, "[Common]\r\n"
                    "  TrustDB =   keychain:  \r\n"
                    "; comment = no\n"
                    "# hash = no\n"
                    "malformed line\n"
                    "Quoted = \"a b\"\n"
                    "Empty =   \n"
                    "[Common/CAPI]\n"
                    "CAPIFilterValidOnly = yes\n"
                    "[a\\b]\n"
                    "[Common\\GVX\\deep]\n"
                    "[common/capi/x]\n");
    IniFile ini;
    ASSERT_EQ(ini.Read(path, "/"), S_OK);
    EXPECT_EQ(ini.SubKeys(), (std::vector<std::string> {"Common", "a"}));
    std::string value;
    ASSERT_TRUE(ini.Find("common", "trustdb", &value));
    EXPECT_EQ(value, "keychain:  ");
    ASSERT_TRUE(ini.Find("Common", "quoted", &value));
    EXPECT_EQ(IniFile::RemoveQuote(value), "a b");
    EXPECT_FALSE(ini.Find("Common", "Empty", &value));
    EXPECT_FALSE(ini.Find("Common", "comment", &value));
    EXPECT_FALSE(ini.Find("Common", "CAPIFilterValidOnly", &value));
    ASSERT_TRUE(ini.Find("COMMON/CAPI", "capifiltervalidonly", &value));
    EXPECT_EQ(IniFile::ParseNumber(value), 1u);
    // "/" and "\" differ in a section name.
    EXPECT_FALSE(ini.Find("Common\\CAPI", "CAPIFilterValidOnly", &value));

    IniFile common;
    ASSERT_EQ(common.Read(path, "Common"), S_OK);
    EXPECT_EQ(common.SubKeys(), (std::vector<std::string> {"CAPI", "GVX"}));
    EXPECT_EQ(ini.Read("", "/"), S_FALSE);
    EXPECT_EQ(ini.Read(dir / "missing.ini", "/"), E_FAIL);
    EXPECT_TRUE(ini.SubKeys().empty());
}

TEST(IniFile, NumberReadings)
{
    struct Case {
        const char* text;
        uint32_t value;
    } cases[] = {{"yes", 1},   {"TRUE", 1},   {"ja", 1},  {"Nein", 0},         {"no", 0},
                 {"false", 0}, {"12abc", 12}, {"abc", 0}, {"-1", 0xFFFFFFFFu}, {"4294967295", 0xFFFFFFFFu}};
    for (const Case& c : cases)
        EXPECT_EQ(IniFile::ParseNumber(c.text), c.value) << c.text;
    EXPECT_EQ(IniFile::RemoveQuote("'x'"), "x");
    EXPECT_EQ(IniFile::RemoveQuote("<x>"), "x");
    EXPECT_EQ(IniFile::RemoveQuote("\"x'"), "\"x'");
    EXPECT_EQ(IniFile::RemoveQuote("\""), "\"");
}

TEST(IniFile, WritesReplaceTheFileAndReportFailures)
{
    TempDir dir;
    std::string path = dir / "policy.ini";
    WriteFile(path, "[Common]\nTrustDB = a-long-old-value\nEmpty =\n");
    IniFile ini;
    ASSERT_EQ(ini.Read(path, "/"), S_OK);
    ASSERT_EQ(ini.Set("Common", "TrustDB", "short"), S_OK);
    ASSERT_EQ(ini.Set("Common", "Empty", "filled"), S_OK);
    ASSERT_EQ(ini.Write(path), S_OK);
    // The file ended with a line break, so it gains an empty last line.
    EXPECT_EQ(ReadFile(path), "[Common]\r\nTrustDB = short\r\nEmpty =filled\r\n\r\n");

    std::string before = ReadFile(path);
    EXPECT_EQ(ini.Set("Common", "Missing", "x"), E_FAIL);
    EXPECT_EQ(ini.Set("Nowhere", "TrustDB", "x"), E_FAIL);
    // A line break in a value would forge lines or sections.
    EXPECT_EQ(ini.Set("Common", "TrustDB", "x\n[Other]"), E_INVALIDARG);
    EXPECT_EQ(ReadFile(path), before);

    // No temporary file is left behind, and a folder that does not exist is a failure.
    EXPECT_FALSE(kestrin::policy::test::Exists(dir / ".policy.ini.XXXXXX"));
    EXPECT_LT(ini.Write(dir / "no/such/folder/policy.ini"), 0);
}

TEST(IniFile, Base64IsStrict)
{
    std::string bytes;
    ASSERT_EQ(Base64Decode(Base64Encode("\x00\x01\xff", 3), &bytes), S_OK);
    EXPECT_EQ(bytes, std::string("\x00\x01\xff", 3));
    ASSERT_EQ(Base64Decode("YQ==", &bytes), S_OK);
    EXPECT_EQ(bytes, "a");
    ASSERT_EQ(Base64Decode("YWI=", &bytes), S_OK);
    EXPECT_EQ(bytes, "ab");
    for (const char* bad : {"", "YQ=", "Y===", "Y=Q=", "YQ==YQ==", "Y Q=", "!!!!", "YWJj\n"}) {
        EXPECT_EQ(Base64Decode(bad, &bytes), E_FAIL) << bad;
    }
    EXPECT_EQ(Base64Encode("", 0), "");
}

// Finding, reading and parsing a bundle's resource file into a text table.
#include "res_fixture.h"

namespace kestrin::resloader::test {
namespace {

class LoadResources : public ResLoader {
protected:
    void SetUp() override
    {
        ResLoader::SetUp();
        Resource("en_US", "test",
                 "<id name=\"A\">english A</id>"
                 "<id name=\"DUP\">first</id><id name=\"DUP\">second</id>"
                 "<id name=\"NL\">one\\ntwo\\n</id>"
                 "<id name=\"AMP\">a &amp; b</id>"
                 "<id>no key</id><!-- a comment -->"
                 "<other name=\"X\">not a text</other>");
        Resource("de_DE", "test", "<id name=\"A\">deutsch A</id>");
        Resource("xx_XX", "test", "<id name=\"A\">xx A</id>");
        // Another spelling of every element name.
        WriteFile(Dir() + "/fr_FR/test.res", "<RESOURCE><Module name=\"t\"><Id name=\"A\">fran\xC3\xA7"
                                             "ais A</Id><ID name=\"B\">B</ID></Module>"
                                             "<module><id name=\"C\">ignored</id></module></RESOURCE>");
        WriteFile(Dir() + "/de_DE/broken.res", "<Resource><module><id name=\"A\">unclosed</module>");
        Resource("en_US", "broken", "<id name=\"A\">english A</id>");
        WriteFile(Dir() + "/de_DE/empty.res", "");
        Resource("en_US", "empty", "<id name=\"A\">english A</id>");
        WriteFile(Dir() + "/en_US/nomodule.res", "<Resource><id name=\"A\">x</id></Resource>");
        WriteFile(Dir() + "/en_US/wrongroot.res", "<Texts><module><id name=\"A\">x</id></module></Texts>");
    }

    // The table of a locale, NULL with the result when nothing was loaded.
    HashTable_void* Load(const wchar_t* language, const wchar_t* country, const wchar_t* bundle, HRESULT* result)
    {
        HashTable_void* table = nullptr;
        *result = api->LoadResources(language, country, bundle, WDir().c_str(), &table);
        return table;
    }

    static std::string Get(HashTable_void* table, const char* key)
    {
        void* value = nullptr;
        if (table->Get(const_cast<char*>(key), &value) != S_OK)
            return "<absent>";
        std::string text = static_cast<const char*>(value);
        sec_free(value);
        return text;
    }

    std::string TextOf(const wchar_t* language, const wchar_t* country, const wchar_t* bundle, const char* key)
    {
        HRESULT result = S_OK;
        HashTable_void* table = Load(language, country, bundle, &result);
        if (table == nullptr)
            return "<no table " + std::to_string(result) + ">";
        std::string text = Get(table, key);
        table->Release();
        return text;
    }
};

TEST_F(LoadResources, LocaleFolderThenDefaultCountryThenEnglish)
{
    EXPECT_EQ("deutsch A", TextOf(L"de", L"DE", L"test", "A"));
    EXPECT_EQ("deutsch A", TextOf(L"de", L"AT", L"test", "A"));  // default country of de
    EXPECT_EQ("english A", TextOf(L"it", L"IT", L"test", "A"));
    EXPECT_EQ("xx A", TextOf(L"xx", L"YY", L"test", "A"));  // no table entry: xx_XX
    EXPECT_EQ("english A", TextOf(L"yy", L"YY", L"test", "A"));
    EXPECT_EQ("english A", TextOf(nullptr, nullptr, L"test", "A"));
    EXPECT_EQ("english A", TextOf(L"..", L"..", L"test", "A"));  // not a folder name: skipped
}

TEST_F(LoadResources, TextsAsWrittenWithTheLaterDuplicateWinning)
{
    HRESULT result = E_FAIL;
    HashTable_void* table = Load(L"en", L"US", L"test", &result);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ("second", Get(table, "DUP"));
    EXPECT_EQ("one\ntwo\n", Get(table, "NL"));
    EXPECT_EQ("a & b", Get(table, "AMP"));
    EXPECT_EQ("<absent>", Get(table, "X"));
    EXPECT_EQ("<absent>", Get(table, "missing"));
    table->Release();
}

TEST_F(LoadResources, ElementNamesInAnyCase)
{
    EXPECT_EQ("fran\xC3\xA7"
              "ais A",
              TextOf(L"fr", L"FR", L"test", "A"));
    EXPECT_EQ("B", TextOf(L"fr", L"FR", L"test", "B"));
    EXPECT_EQ("<absent>", TextOf(L"fr", L"FR", L"test", "C"));  // only the first module counts
}

TEST_F(LoadResources, FailuresLeaveNoTable)
{
    HRESULT result = S_OK;
    // A broken file in the locale's own folder ends the search there.
    EXPECT_EQ(nullptr, Load(L"de", L"DE", L"broken", &result));
    EXPECT_EQ(E_FAIL, result);
    EXPECT_EQ("english A", TextOf(L"it", L"IT", L"broken", "A"));
    // An empty file is found as well, and does not parse.
    EXPECT_EQ(nullptr, Load(L"de", L"DE", L"empty", &result));
    EXPECT_EQ(E_FAIL, result);
    EXPECT_EQ("english A", TextOf(L"it", L"IT", L"empty", "A"));

    for (const wchar_t* bundle : {L"missing", L"nomodule", L"wrongroot", L"../en_US/test", L".."}) {
        EXPECT_EQ(nullptr, Load(L"en", L"US", bundle, &result));
        EXPECT_EQ(E_FAIL, result);
    }
    EXPECT_EQ(nullptr, Load(L"en", L"US", nullptr, &result));
    EXPECT_EQ(E_INVALIDARG, result);
    EXPECT_EQ(E_INVALIDARG, api->LoadResources(L"en", L"US", L"test", WDir().c_str(), nullptr));
}

TEST_F(LoadResources, DefaultFolderIsBesideTheLibraries)
{
    ZELK_RES_TEXT directory;
    EXPECT_EQ(S_OK, api->GetCurrentPath(std::addressof(directory)));
    std::filesystem::path expected = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "etc";
    EXPECT_EQ(expected.string(), Narrow(directory));
}

}  // namespace
}  // namespace kestrin::resloader::test

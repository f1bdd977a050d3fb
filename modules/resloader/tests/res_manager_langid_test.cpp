// The manager forms that take a Windows language identifier. No table slot
// reaches them, so this program compiles the manager in, as a module would.
#include "res_fixture.h"
#include "res_manager.h"

namespace kestrin::resloader::test {
namespace {

class ManagerByLanguage : public ResLoader {
protected:
    void SetUp() override
    {
        ResLoader::SetUp();
        Resource("en_US", "test", "<id name=\"A\">english A</id>");
        Resource("de_DE", "test", "<id name=\"A\">deutsch A</id>");
        Resource("de_AT", "test", "<id name=\"A\">oesterreichisch A</id>");
        Resource("fr_FR", "test", "<id name=\"A\">francais A</id>");
    }
};

TEST_F(ManagerByLanguage, TheLanguageTablePicksTheLocaleInAGivenFolder)
{
    struct Case {
        unsigned langId;
        const char* text;
    } cases[] = {
        {0x0407, "deutsch A"},          // German, Germany
        {0x0C07, "oesterreichisch A"},  // German, Austria
        {0x0007, "deutsch A"},          // no sub-language: the default country
        {0xFC07, "deutsch A"},          // a sub-language past the list: the default country
        {0x040C, "francais A"},         // French, France
        {0x0409, "english A"},          // English, United States
        {0x0413, "english A"},          // Dutch: no file, the English fallback
        {0x002F, "english A"},          // an empty entry: no locale
        {0xFFFFFFFF, "english A"},      // no identifier at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.langId);
        Manager manager;
        ASSERT_EQ(S_OK, CResourceManager::New(c.langId, L"test", WDir().c_str(), &manager));
        ASSERT_NE(manager.get(), nullptr);
        EXPECT_EQ(c.text, Text(manager->Get("A")));
    }
    Manager none;
    EXPECT_EQ(E_INVALIDARG, CResourceManager::New(0x0407u, nullptr, WDir().c_str(), &none));
    EXPECT_EQ(E_INVALIDARG, CResourceManager::New(0x0407u, L"test", WDir().c_str(), nullptr));
}

TEST_F(ManagerByLanguage, WithoutAFolderTheConfiguredOneServes)
{
    SetCommon("ResourcePath", Dir());
    Manager austrian;
    ASSERT_EQ(S_OK, CResourceManager::New(0x0C07u, L"test", &austrian));
    EXPECT_EQ("oesterreichisch A", Text(austrian->Get("A")));
    Manager none;
    EXPECT_EQ(E_INVALIDARG, CResourceManager::New(0x0407u, L"test", nullptr));
}

}  // namespace
}  // namespace kestrin::resloader::test

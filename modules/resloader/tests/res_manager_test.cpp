// Resource managers: locale, configured and default folders, retries, the
// texts handed out, and the bundles the system ships.
#include <atomic>
#include <thread>
#include <vector>

#include "res_fixture.h"

namespace kestrin::resloader::test {
namespace {

class ResourceManager : public ResLoader {
protected:
    void SetUp() override
    {
        ResLoader::SetUp();
        Resource("en_US", "test",
                 "<id name=\"A\">english A</id><id name=\"W\">gr\xC3\xBC\xC3\x9F"
                 "e</id>");
        Resource("de_DE", "test", "<id name=\"A\">deutsch A</id>");
    }
};

TEST_F(ResourceManager, AnswersTheTextsOfItsLocale)
{
    Manager german;
    ASSERT_EQ(S_OK, api->GetResourceManagerEx2("de_DE.UTF-8", L"test", WDir().c_str(), &german));
    EXPECT_EQ("deutsch A", Text(german->Get("A")));
    EXPECT_EQ("<null>", Text(german->Get("W")));
    EXPECT_EQ("<null>", Text(german->Get("missing")));
    EXPECT_EQ(nullptr, german->GetW("missing"));

    Manager other;
    ASSERT_EQ(S_OK, api->GetResourceManagerEx2("pt_BR", L"test", WDir().c_str(), &other));
    EXPECT_EQ("english A", Text(other->Get("A")));
    const wchar_t* wide = other->GetW("W");
    EXPECT_EQ(std::wstring(L"gr\u00FC\u00DFe"), std::wstring(wide ? wide : L"<null>"));
    EXPECT_EQ(wide, other->GetW("W"));

    void* self = nullptr;
    ASSERT_EQ(S_OK, other->QueryInterface(IID_CResourceManager, &self));
    static_cast<IUnknown*>(self)->Release();
    EXPECT_EQ(E_INVALIDARG, api->GetResourceManagerEx2("de_DE", nullptr, WDir().c_str(), &other));
    EXPECT_EQ(E_INVALIDARG, api->GetResourceManager(L"test", nullptr));
}

TEST_F(ResourceManager, ALocaleThatCannotBeFoundFallsBackToEnglish)
{
    setenv("LANG", "C", 1);
    Manager manager;
    ASSERT_EQ(S_OK, api->GetResourceManager2(L"test", WDir().c_str(), &manager));
    EXPECT_EQ("english A", Text(manager->Get("A")));

    Manager unsplit;
    ASSERT_EQ(S_OK, api->GetResourceManagerEx("german", L"test", &unsplit));
    ASSERT_NE(unsplit.get(), nullptr);
}

TEST_F(ResourceManager, TheCurrentLocaleComesFromThePolicyOrTheEnvironment)
{
    setenv("LANG", "de_DE.UTF-8", 1);
    Manager fromEnvironment;
    ASSERT_EQ(S_OK, api->GetResourceManager2(L"test", WDir().c_str(), &fromEnvironment));
    EXPECT_EQ("deutsch A", Text(fromEnvironment->Get("A")));

    SetCommon("Locale", "en_GB");
    Manager fromPolicy;
    ASSERT_EQ(S_OK, api->GetResourceManagerEx2(nullptr, L"test", WDir().c_str(), &fromPolicy));
    EXPECT_EQ("english A", Text(fromPolicy->Get("A")));
}

TEST_F(ResourceManager, ConfiguredFolderFirstThenTheDefaultFolder)
{
    setenv("LANG", "de_DE.UTF-8", 1);
    SetCommon("ResourcePath", Dir());
    Manager configured;
    ASSERT_EQ(S_OK, api->GetResourceManager(L"test", &configured));
    EXPECT_EQ("deutsch A", Text(configured->Get("A")));

    // The configured folder lacks the bundle: the shipped texts answer.
    Manager shipped;
    ASSERT_EQ(S_OK, api->GetResourceManager(L"zelkgui", &shipped));
    EXPECT_EQ("Sign", Text(shipped->Get("DLG_CRED_SIGN")));
}

TEST_F(ResourceManager, WithoutTextsEveryCallTriesTheConfiguredFolderAgain)
{
    TempDir later;
    SetCommon("ResourcePath", later.Path());
    Manager manager;
    ASSERT_EQ(S_OK, api->GetResourceManager(L"late", &manager));
    EXPECT_EQ("no resources available", Text(manager->Get("A")));
    EXPECT_EQ(std::wstring(L"no resources available"), manager->GetW("A"));

    WriteFile(later.Path() + "/en_US/late.res", ResourceXml("<id name=\"A\">arrived</id>"));
    EXPECT_EQ("arrived", Text(manager->Get("A")));
    EXPECT_EQ(std::wstring(L"arrived"), manager->GetW("A"));
}

TEST_F(ResourceManager, AGivenFolderIsRetriedToo)
{
    TempDir given;
    Manager manager;
    ASSERT_EQ(S_OK, api->GetResourceManagerEx2("de_DE", L"test", Wide(given.Path()).c_str(), &manager));
    EXPECT_EQ("no resources available", Text(manager->Get("A")));
    WriteFile(given.Path() + "/de_DE/test.res", ResourceXml("<id name=\"A\">jetzt</id>"));
    EXPECT_EQ("jetzt", Text(manager->Get("A")));
}

TEST_F(ResourceManager, ThreadsShareOneLoadAndOneWideFormPerText)
{
    TempDir slow;
    std::string ids;
    for (int i = 0; i < 200; ++i)
        ids += "<id name=\"K" + std::to_string(i) + "\">text " + std::to_string(i) + "</id>";
    WriteFile(slow.Path() + "/en_US/many.res", ResourceXml(ids));

    for (int round = 0; round < 5; ++round) {
        Manager manager;
        ASSERT_EQ(S_OK, api->GetResourceManagerEx2("en_US", L"many", Wide(slow.Path()).c_str(), &manager));
        constexpr int kThreads = 8;
        std::vector<std::vector<const wchar_t*>> seen(kThreads, std::vector<const wchar_t*>(200));
        std::atomic<int> ready {0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                while (ready < kThreads) {
                }
                for (int i = 0; i < 200; ++i)
                    seen[t][i] = manager->GetW(("K" + std::to_string(i)).c_str());
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        for (int i = 0; i < 200; ++i) {
            ASSERT_NE(seen[0][i], nullptr);
            EXPECT_EQ(Wide("text " + std::to_string(i)), seen[0][i]);
            for (int t = 1; t < kThreads; ++t)
                EXPECT_EQ(seen[0][i], seen[t][i]);
        }
    }
}

TEST_F(ResourceManager, TheShippedBundlesAnswerInEnglish)
{
    setenv("LANG", "de_DE.UTF-8", 1);
    struct Bundle {
        const wchar_t* name;
        std::vector<const char*> keys;
    } bundles[] = {
        {L"zelkgui",
         {"DLG_CRED_PERFORM_SIGNATURE",
          "DLG_CRED_DIGITAL_SIGNATURE",
          "DLG_CRED_SIGN",
          "DLG_CRED_PSE_PASSWORD",
          "DLG_CRED_PSE_INIT_PASSWORD",
          "ERR_PSE_CORRUPT",
          "CAP_SELECT_AUTH_CERT",
          "SELECT_AUTH_CERT_DONT_STORE",
          "SELECT_AUTH_CERT_NOT_AVAILABLE",
          "QM_E_ACCESSDENIED",
          "QM_E_URL_ERROR",
          "QM_E_URL_ERROR_SSL",
          "QM_E_URL_ERROR_SSL_NAME",
          "QM_E_URL_ERROR_SSL_EXT",
          "QM_E_SERVER_ERROR",
          "QM_E_INVALID_MESSAGE",
          "QM_E_UNDEFINED_USERNAME",
          "QM_E_SERVER_ERROR_NOHOST",
          "PR_E_SERVER_CONNECT_TIMEOUT",
          "QM_E_PIN_LENGTH",
          "QM_E_INTERNAL_SERVER_ERROR",
          "QM_E_PARSER_ERROR",
          "QM_E_NEW_PIN_REJECTED",
          "QM_E_CERTIFICATE_BAD",
          "QM_E_COMPOSEXML",
          "QM_CERT_INVALID"}},
        {L"kvlogsvc",
         {"ERR_POLICY_DOWNLOAD", "ERR_SSL_ROOT_CERT", "ERR_CONNECTION_TIMEOUT", "ERR_SERVER_ERR", "ERR_SSL_CERT_NAME",
          "ERR_SSL_CERT_EXT", "ERR_UNKNOWN_HOST", "ERR_UNKNOWN_CONNECTION_ERR", "ERR_XML_MALFORMED", "ERR_PARSE_XML",
          "ERR_REGISTRY_WRITE", "INFO_SUBKEY_DELETED"}},
    };
    for (const Bundle& bundle : bundles) {
        Manager manager;
        ASSERT_EQ(S_OK, GetResourceManager(bundle.name, &manager));
        for (const char* key : bundle.keys) {
            std::string text = Text(manager->Get(key));
            EXPECT_NE("<null>", text) << key;
            EXPECT_NE("no resources available", text) << key;
            EXPECT_NE(nullptr, manager->GetW(key)) << key;
        }
    }
    Manager gui;
    ASSERT_EQ(S_OK, GetResourceManager(L"zelkgui", &gui));
    EXPECT_EQ("The following website wants to perform a digital signature:",
              Text(gui->Get("DLG_CRED_PERFORM_SIGNATURE")));
    EXPECT_NE(std::string::npos, Text(gui->Get("ERR_PSE_CORRUPT")).find('\n'));
}

}  // namespace
}  // namespace kestrin::resloader::test

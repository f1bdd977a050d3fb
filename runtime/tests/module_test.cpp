// Module entry, table binding and the counted start and stop, with real test
// modules loaded through the crypto library by name.
#include <gtest/gtest.h>

#include <string>

#include "runtime_test_util.h"
#include "test_module.h"
#include "zelk_loader.h"
#include "zelk_module.h"

namespace {

const ZELKTEST_TABLE* bind_test_module(const char* module, HRESULT* result = nullptr)
{
    API_COMMON* table = nullptr;
    HRESULT hr = ZELK_GetAPI(module, "zelktest.1", &table);
    if (result)
        *result = hr;
    return ZELK_ApiCast<ZELKTEST_TABLE>(table);
}

class Started : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), S_OK); }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }
};

TEST_F(Started, EachModuleKeepsItsOwnRuntimeGlobals)
{
    HRESULT hr = E_FAIL;
    const ZELKTEST_TABLE* a = bind_test_module("zelktesta", &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(a, nullptr);
    const ZELKTEST_TABLE* b = bind_test_module("zelktestb", &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a, b);

    // Names, exported-table lists and registries are per deliverable.
    EXPECT_STREQ(a->module_name(), "zelktesta");
    EXPECT_STREQ(b->module_name(), "zelktestb");
    EXPECT_EQ(ZELK_GetModuleName(), nullptr);
    EXPECT_STREQ(a->own_file_name(), "libzelktesta.so");
    EXPECT_STREQ(b->own_file_name(), "libzelktestb.so");
    EXPECT_EQ(a->function_list(), sdk_f_list);
    EXPECT_EQ(b->function_list(), sdk_f_list);

    // zelktesta bound zelktestb's table while it started; zelktestb bound the
    // library's trace sink.
    EXPECT_EQ(a->bound(), b);
    API_COMMON* notify = nullptr;
    ASSERT_EQ(ZELK_GetAPI(nullptr, "SEC_NOTIFY_1", &notify), S_OK);
    EXPECT_EQ(b->bound(), notify);

    EXPECT_EQ(a->probe_initialize_calls(), 1);
    EXPECT_EQ(b->probe_initialize_calls(), 1);
    EXPECT_EQ(a->initialize(), S_OK);
    EXPECT_EQ(a->probe_initialize_calls(), 2);
    EXPECT_EQ(b->probe_initialize_calls(), 1);  // another registry
    EXPECT_EQ(a->finalize(), S_OK);
    EXPECT_EQ(a->probe_finalize_calls(), 0);
}

TEST_F(Started, SecondModuleInitKeepsTheFirstList)
{
    const ZELKTEST_TABLE* a = bind_test_module("zelktesta");
    ASSERT_NE(a, nullptr);
    SEC_FUNCTION_LIST other {};
    EXPECT_EQ(a->module_init_again(&other), S_OK);
    EXPECT_EQ(a->function_list(), sdk_f_list);
    EXPECT_EQ(a->finalize(), S_OK);
    EXPECT_EQ(a->function_list(), sdk_f_list);
}

TEST_F(Started, FortyCharacterModuleNameIsKeptCutToThirtyTwo)
{
    const std::string forty = "zelktest0123456789abcdefghijklmnopqrstuv";
    ASSERT_EQ(forty.size(), 40u);
    HRESULT hr = E_FAIL;
    const ZELKTEST_TABLE* t = bind_test_module(forty.c_str(), &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t->module_name()), forty.substr(0, 32));

    // Through its getter: a name agreeing in the first 32 characters is the
    // same module; any other is refused and leaves the name as it was.
    API_COMMON* out = nullptr;
    EXPECT_EQ(t->get_api((forty.substr(0, 32) + "-another-tail").c_str(), "zelktest.1", &out), S_OK);
    EXPECT_EQ(out, t);
    EXPECT_EQ(t->get_api(forty.substr(0, 32).c_str(), "zelktest.1", &out), S_OK);
    EXPECT_EQ(t->get_api("zelk", "zelktest.1", &out), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(t->get_api(forty.substr(0, 31).c_str(), "zelktest.1", &out), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(std::string(t->module_name()), forty.substr(0, 32));
}

TEST_F(Started, NewestRegistrationWinsAndRefusalsAndMissingTablesAreNotFound)
{
    API_COMMON* dup = nullptr;
    ASSERT_EQ(ZELK_GetAPI("zelktesta", "zelktest.dup", &dup), S_OK);
    const char* module = nullptr;
    dup->get_info(nullptr, &module, nullptr);
    EXPECT_STREQ(module, "newer");

    API_COMMON* table = nullptr;
    EXPECT_EQ(ZELK_GetAPI("zelktesta", "zelktest.refused", &table), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(ZELK_GetAPI("zelktesta", "zelktest.nosuch", &table), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(ZELK_GetAPI("zelktesta", "ZELKTEST.1", &table), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(ZELK_GetAPI("zelknosuchmodule", "zelktest.1", &table), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(table, nullptr);
}

TEST_F(Started, ModuleFinalizeCountsItsStarts)
{
    const ZELKTEST_TABLE* b = bind_test_module("zelktestb");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->initialize(), S_OK);  // second start
    EXPECT_EQ(b->finalize(), S_OK);    // one start left: everything stays bound
    EXPECT_EQ(b->probe_finalize_calls(), 0);
    EXPECT_NE(b->bound(), nullptr);
    EXPECT_NE(b->function_list(), nullptr);
    EXPECT_EQ(b->finalize(), S_OK);  // the last: stops and forgets the adopted list
    EXPECT_EQ(b->probe_finalize_calls(), 1);
    EXPECT_EQ(b->bound(), nullptr);
    EXPECT_EQ(b->function_list(), nullptr);
    EXPECT_EQ(b->finalize(), E_FAIL);
}

TEST_F(Started, ReleaseOfAnEmptyVariableStillReachesTheLibrary)
{
    API_COMMON* empty = nullptr;
    EXPECT_EQ(ZELK_ReleaseAPI(&empty), S_OK);
    EXPECT_EQ(ZELK_ReleaseAPI(nullptr), ZELK_E_API_NOARG);
    API_COMMON* asc = nullptr;
    ASSERT_EQ(ZELK_GetAPI(nullptr, "SEC_ASC_1", &asc), S_OK);
    EXPECT_EQ(ZELK_ReleaseAPI(&asc), S_OK);
    EXPECT_EQ(asc, nullptr);
}

TEST(ModuleStart, TwoStartsNeedTwoStops)
{
    API_COMMON* asc = nullptr;
    CLoadAPI binder(nullptr, "SEC_ASC_1", &asc);
    ASSERT_EQ(ZELK_Initialize(), S_OK);
    ASSERT_EQ(ZELK_Initialize(), S_OK);
    EXPECT_NE(asc, nullptr);
    EXPECT_EQ(ZELK_Finalize(), S_OK);
    EXPECT_NE(asc, nullptr);
    EXPECT_NE(sdk_f_list, nullptr);
    EXPECT_EQ(ZELK_Finalize(), S_OK);
    EXPECT_EQ(asc, nullptr);
    EXPECT_EQ(sdk_f_list, nullptr);
    EXPECT_EQ(ZELK_GetInstallationRoot(), nullptr);  // computed again at the next start
    EXPECT_EQ(ZELK_Finalize(), E_FAIL);

    // A later start binds again.
    ASSERT_EQ(ZELK_Initialize(), S_OK);
    EXPECT_NE(asc, nullptr);
    EXPECT_EQ(ZELK_Finalize(), S_OK);
}

TEST(ModuleStart, MissingTableStopsBindingAtThatBinder)
{
    API_COMMON* before = nullptr;
    API_COMMON* missing = nullptr;
    API_COMMON* after = nullptr;
    CLoadAPI first(nullptr, "SEC_ASC_1", &before);
    CLoadAPI second("zelktestb", "zelk.policy.1", &missing);
    CLoadAPI third(nullptr, "SEC_URL_1", &after);
    EXPECT_EQ(ZELK_Initialize(), E_FAIL);
    EXPECT_NE(before, nullptr);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(after, nullptr);
    EXPECT_EQ(ZELK_Finalize(), S_OK);
    EXPECT_EQ(before, nullptr);
}

TEST(ModuleStart, LibraryWithoutListOrEntryPointFailsTheStart)
{
    for (const char* fake : {"emptylist", "noexport"}) {
        SCOPED_TRACE(fake);
        ASSERT_EQ(ZELK_SetInstallationRoot((test_program_dir() + "/" + fake).c_str()), S_OK);
        EXPECT_EQ(ZELK_Initialize(), E_FAIL);
        EXPECT_EQ(sdk_f_list, nullptr);
        EXPECT_EQ(ZELK_Finalize(), E_FAIL);  // the failed start was not counted
    }
    ASSERT_EQ(ZELK_SetInstallationRoot((test_program_dir() + "/nosuchfolder").c_str()), S_OK);
    EXPECT_EQ(ZELK_Initialize(), E_FAIL);
    ZELK_FreeInstallationRoot();
}

TEST(ModuleName, FirstNameWinsAndThirtyTwoCharactersCount)
{
    EXPECT_EQ(ZELK_GetModuleName(), nullptr);
    EXPECT_EQ(ZELK_SetModuleName(nullptr), S_OK);
    EXPECT_EQ(ZELK_SetModuleName(""), S_OK);
    EXPECT_EQ(ZELK_GetModuleName(), nullptr);

    const std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    ASSERT_EQ(forty.size(), 40u);
    EXPECT_EQ(ZELK_SetModuleName(forty.c_str()), S_OK);
    EXPECT_EQ(std::string(ZELK_GetModuleName()), forty.substr(0, 32));
    EXPECT_EQ(ZELK_SetModuleName((forty.substr(0, 32) + "-another-tail").c_str()), S_OK);
    EXPECT_EQ(ZELK_SetModuleName(forty.substr(0, 32).c_str()), S_OK);
    EXPECT_EQ(ZELK_SetModuleName(forty.substr(0, 31).c_str()), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(ZELK_SetModuleName("zelk"), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(std::string(ZELK_GetModuleName()), forty.substr(0, 32));

    // The getter names the module first and refuses another name.
    API_COMMON* out = reinterpret_cast<API_COMMON*>(&out);
    EXPECT_EQ(impl_module_get_API("zelk", "anything", &out), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(out, reinterpret_cast<API_COMMON*>(&out));  // refused before the lookup
}

TEST(ExportedTables, NewestRegistrationOfANameWins)
{
    HRESULT(*info)
    (const char**, const char**, const char**) = [](const char** t, const char**, const char**) {
        if (t)
            *t = "mine.1";
        return S_OK;
    };
    API_COMMON older {info};
    API_COMMON newer {info};
    CZELK_API first("zelk", "mine.1", &older);
    API_COMMON* out = nullptr;
    {
        CZELK_API second("zelk", "mine.1", &newer);
        EXPECT_EQ(CZELK_API::GetAPI("mine.1", &out), S_OK);
        EXPECT_EQ(out, &newer);
    }
    EXPECT_EQ(CZELK_API::GetAPI("mine.1", &out), S_OK);  // a registration that ends leaves the list
    EXPECT_EQ(out, &older);
    EXPECT_EQ(CZELK_API::GetAPI(nullptr, &out), ZELK_E_API_NOARG);
    EXPECT_EQ(CZELK_API::GetAPI("mine.1", nullptr), ZELK_E_API_NOARG);
    EXPECT_EQ(CZELK_API::GetAPI("mine.2", &out), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(out, nullptr);
}

}  // namespace

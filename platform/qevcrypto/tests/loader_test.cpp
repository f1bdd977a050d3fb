// Modules found, loaded once and started by the library.
#include <string>

#include "qev_fixture.h"
#include "raw_module.h"

namespace {

using ModuleLoader = QevLibrary;

const RAW_TABLE* bind(SEC_FUNCTION_LIST* list, const char* module, HRESULT* hr)
{
    API_COMMON* table = nullptr;
    *hr = list->get_api(module, "raw.1", &table);
    return static_cast<const RAW_TABLE*>(table);
}

TEST_F(ModuleLoader, NestedBindingDuringModuleInitLoadsEachModuleOnce)
{
    HRESULT hr = E_FAIL;
    const RAW_TABLE* a = bind(list, "qevrawa", &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(a, nullptr);
    // qevrawa bound qevrawb from its module_init, and qevrawb bound qevrawa back
    // while the outer lookup was still running.
    EXPECT_EQ(a->nested_result(), S_OK);
    EXPECT_EQ(a->list(), list);
    const RAW_TABLE* b = bind(list, "qevrawb", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(b->nested_result(), S_OK);
    EXPECT_EQ(a->init_count(), 1);
    EXPECT_EQ(b->init_count(), 1);
    EXPECT_EQ(bind(list, "qevrawa", &hr), a);
    EXPECT_EQ(a->init_count(), 1);
}

TEST_F(ModuleLoader, UnknownTableOfALoadedModuleIsNotFound)
{
    API_COMMON* table = nullptr;
    EXPECT_EQ(list->get_api("qevrawa", "nosuch.1", &table), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(table, nullptr);
}

TEST_F(ModuleLoader, MissingOrUnsafeModuleNamesAreNotFound)
{
    for (const char* name : {"qevnosuchmodule", "", "../lib/qevrawa", "/tmp/qevrawa", ".."}) {
        SCOPED_TRACE(name);
        API_COMMON* table = nullptr;
        EXPECT_EQ(list->get_api(name, "raw.1", &table), ZELK_E_API_NOTFOUND);
        EXPECT_EQ(table, nullptr);
    }
}

std::string s_lastError;

TEST_F(ModuleLoader, ModuleThatCannotBeLoadedIsTracedWithTheReason)
{
    s_lastError.clear();
    registerCallback(0, [](int level, const char*, const char*, const char* text) {
        if (level == 1)
            s_lastError = text;
        return 0;
    });
    setLevel(1);
    API_COMMON* table = nullptr;
    EXPECT_EQ(list->get_api("qevnosuchmodule", "raw.1", &table), ZELK_E_API_NOTFOUND);
    EXPECT_NE(s_lastError.find("module qevnosuchmodule cannot be loaded: "), std::string::npos) << s_lastError;
    EXPECT_NE(s_lastError.find("libqevnosuchmodule.so"), std::string::npos) << s_lastError;
}

TEST_F(ModuleLoader, FailingModuleInitIsReportedAndNotRetried)
{
    API_COMMON* table = nullptr;
    EXPECT_EQ(list->get_api("qevrawfail", "raw.1", &table), E_FAIL);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(list->get_api("qevrawfail", "raw.1", &table), E_FAIL);
    EXPECT_EQ(table, nullptr);
}

TEST_F(ModuleLoader, LastReleaseUnloadsModulesSoALaterStartLoadsThemAfresh)
{
    HRESULT hr = E_FAIL;
    const RAW_TABLE* a = bind(list, "qevrawa", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(a->init_count(), 1);
    ASSERT_EQ(list->release(list), S_OK);
    list = nullptr;
    ASSERT_EQ(getList(0, nullptr, &list, nullptr, "", 0), S_OK);
    a = bind(list, "qevrawa", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(a->init_count(), 1);  // a fresh copy: its counter starts again
}

}  // namespace

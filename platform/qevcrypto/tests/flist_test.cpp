// The function list and the library's own tables.
#include <cstdlib>
#include <cstring>

#include "qev_fixture.h"

namespace {

using FunctionList = QevLibrary;

TEST_F(FunctionList, FillsTheListAndLeavesTheUnusedEntriesEmpty)
{
    SEC_FUNCTION_LIST* second = nullptr;
    EXPECT_EQ(getList(0, nullptr, &second, nullptr, "", 0), S_OK);
    EXPECT_EQ(second, list);  // one process-wide list
    EXPECT_EQ(list->release(second), S_OK);
    EXPECT_EQ(list->unused1, nullptr);
    EXPECT_EQ(list->unused4, nullptr);
    EXPECT_EQ(list->unused5, nullptr);
    EXPECT_EQ(getList(0, nullptr, nullptr, nullptr, "", 0), ZELK_E_API_NOARG);
}

TEST_F(FunctionList, AllocatorIsTheCLibrarys)
{
    // Buffers cross between the list's allocator and the C library's both ways.
    void* a = list->malloc(16);
    ASSERT_NE(a, nullptr);
    std::memset(a, 1, 16);
    std::free(a);
    void* b = std::malloc(8);
    b = list->realloc(b, 64);
    ASSERT_NE(b, nullptr);
    list->free(b);
    auto* c = static_cast<unsigned char*>(list->calloc(4, 8));
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(c[i], 0);
    list->free(c);
}

TEST_F(FunctionList, EveryTableBoundAtStartAnswersItsInfoAndNotImplemented)
{
    const char* names[] = {"SEC_ASC_1",      "SEC_BIO_1",        "SEC_COMMONTYPES_1", "SEC_CONFIG_1", "SEC_CRYPT_1",
                           "SEC_CRYPTO_1",   "SEC_ENCODE_1",     "SEC_IO_1",          "SEC_NOTIFY_1", "SEC_PSE_1",
                           "SEC_RANDOM_1",   "SEC_MZT_1",        "SEC_SSL_1",         "SEC_TIME_1",   "SEC_URL_1",
                           "SEC_KERBEROS_1", "SEC_KEYCONVERT_1", "SEC_OLDPSE_1",      "SEC_PKCS12_1"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, name, &table), S_OK);
        ASSERT_NE(table, nullptr);
        const char* tableName = nullptr;
        const char* module = nullptr;
        const char* description = nullptr;
        EXPECT_EQ(table->get_info(&tableName, &module, &description), S_OK);
        EXPECT_STREQ(tableName, name);
        EXPECT_STREQ(module, "qevcrypto");
        EXPECT_NE(description, nullptr);
        EXPECT_EQ(table->get_info(nullptr, nullptr, nullptr), S_OK);
        // A slot far beyond anything any module calls still answers (the
        // slots of "SEC_COMMONTYPES_1" are type tables, not functions).
        if (std::strcmp(name, "SEC_COMMONTYPES_1") != 0) {
            using Slot = HRESULT (*)();
            auto slots = reinterpret_cast<void* const*>(table);
            EXPECT_EQ(reinterpret_cast<Slot>(slots[200])(), E_NOTIMPL);
        }
        EXPECT_EQ(list->release_api(&table), S_OK);
    }
}

TEST_F(FunctionList, LookupErrors)
{
    API_COMMON* table = reinterpret_cast<API_COMMON*>(list);  // must be cleared
    EXPECT_EQ(list->get_api(nullptr, "SEC_NOSUCH_1", &table), ZELK_E_API_NOTFOUND);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(list->get_api(nullptr, "sec_asc_1", &table), ZELK_E_API_NOTFOUND);  // case-sensitive
    EXPECT_EQ(list->get_api(nullptr, nullptr, &table), ZELK_E_API_NOARG);
    EXPECT_EQ(list->get_api(nullptr, "SEC_ASC_1", nullptr), ZELK_E_API_NOARG);
}

TEST_F(FunctionList, TableReleaseTakesTheVariablesAddressAlsoWhenItHoldsNull)
{
    API_COMMON* empty = nullptr;
    EXPECT_EQ(list->release_api(&empty), S_OK);
    EXPECT_EQ(list->release_api(nullptr), ZELK_E_API_NOARG);
}

}  // namespace

// Table "timeapi" bound from module "zelkbase".
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "zelk_module.h"
#include "zelk_timeapi.h"

namespace {

API_COMMON* SEC_TIMEAPI_FUNCTION_TABLE = nullptr;
CLoadAPI dynload_zelk_timeapi("zelkbase", ZELKBASE_TIMEAPI_API, &SEC_TIMEAPI_FUNCTION_TABLE);

class TimeApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ZELK_Initialize());
        api = ZELK_ApiCast<SEC_TIMEAPI_TABLE>(SEC_TIMEAPI_FUNCTION_TABLE);
        ASSERT_NE(api, nullptr);
    }
    void TearDown() override { EXPECT_EQ(S_OK, ZELK_Finalize()); }

    SEC_TIMEAPI_TABLE* api = nullptr;
};

TEST_F(TimeApi, InfoNamesTheTableAndModule)
{
    const char* name = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(S_OK, api->get_info(&name, &module, &description));
    EXPECT_STREQ("timeapi", name);
    EXPECT_STREQ("zelkbase", module);
    EXPECT_STREQ("", description);
}

TEST_F(TimeApi, KnownDatesAsFileTimesAndUnixTimes)
{
    struct Case {
        uint64_t value;
        unsigned int from, to;
        uint64_t expected;
    } cases[] = {
        {1, 0x21, 0x18, 116444736010000000ull},
        {0, 0x21, 0x18, 116444736000000000ull},
        {116444736000000000ull, 0x18, 0x21, 0},
        {946684800, 0x21, 0x18, 125911584000000000ull},  // 2000-01-01
        {125911584000000000ull, 0x18, 0x22, 946684800000ull},
        {125911584000000000ull, 0x18, 0x24, 946684800000000ull},
        {15, 0x01, 0x02, 15000},
        {12345, 0x18, 0x18, 12345},
        {12345, 0x118, 0x18, 12345},
        {0x7FFFFFFF, 0x21, 0x11, 0x7FFFFFFFull + 11644473600ull},  // 2038-01-19 as seconds since 1601
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, api->time_TranslateTime(c.value, c.from, c.to))
            << c.value << " from " << c.from << " to " << c.to;
}

TEST_F(TimeApi, RelativeTimesUseTheClock)
{
    uint64_t before = api->time_GetFileTimeNow();
    uint64_t in5min = api->time_TranslateTime(300, 0x01, 0x18);
    uint64_t after = api->time_GetFileTimeNow();
    EXPECT_GE(in5min, before + 3000000000ull);
    EXPECT_LE(in5min, after + 3000000000ull);
    // time() reads a coarser clock that can trail ours across a second's
    // edge, so the two may differ by one either way.
    auto unixNow = static_cast<int64_t>(api->time_TranslateTime(0, 0x00, 0x21));
    EXPECT_LE(std::llabs(static_cast<int64_t>(std::time(nullptr)) - unixNow), 1);
}

TEST_F(TimeApi, GeneralTimeTextsAndUnreadableOnes)
{
    EXPECT_EQ(946684800u, api->time_TranslateGeneralTime("20000101000000Z", 0x21));
    EXPECT_EQ(125911584000000000ull, api->time_TranslateGeneralTime("000101000000Z", 0x18));
    for (const char* bad : {"", "not a time", "20001301000000Z"})
        EXPECT_EQ(ZELK_TIME_INVALID, api->time_TranslateGeneralTime(bad, 0x18)) << bad;
    EXPECT_EQ(ZELK_TIME_INVALID, api->time_TranslateGeneralTime(nullptr, 0x21));
}

}  // namespace

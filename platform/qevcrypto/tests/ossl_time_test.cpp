// Time texts through "SEC_TIME_1".
#include <ctime>

#include "ossl_fixture.h"
#include "qev_time.h"

namespace {

class Time : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        time = table<SEC_TIME_TABLE>("SEC_TIME_1");
        ASSERT_NE(time, nullptr);
    }

    SEC_TIME_TABLE* time = nullptr;
};

TEST_F(Time, TextsAndSecondsAgainstKnownValues)
{
    struct Case {
        const char* text;
        int64_t seconds;
    } cases[] = {
        {"700101000000Z", 0},
        {"19700101000001Z", 1},
        {"000229120000Z", 951825600},
        {"20380119031408Z", 2147483648},
        {"491231235959Z", 2524607999},
        {"500101000000Z", -631152000},
        {"16010101000000Z", -11644473600},
        {"20240229120000+0100", 1709204400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t s = 42;
        EXPECT_EQ(time->to_seconds(c.text, &s), S_OK);
        EXPECT_EQ(s, c.seconds);
    }
    char* t = nullptr;
    ASSERT_EQ(time->from_seconds(SEC_TIME_GENERALIZED, 951825600, &t), S_OK);
    EXPECT_STREQ(t, "20000229120000Z");
    list->free(t);
    ASSERT_EQ(time->from_seconds(SEC_TIME_UTC, 2524607999, &t), S_OK);
    EXPECT_STREQ(t, "491231235959Z");
    list->free(t);
    EXPECT_EQ(time->from_seconds(SEC_TIME_UTC, 2524608000, &t), E_INVALIDARG);  // 2050 has no UTCTime
    EXPECT_EQ(t, nullptr);
}

TEST_F(Time, UnreadableTextsFail)
{
    for (const char* bad : {"", "garbage", "20241301000000Z", "2024022912000Z", "219507100412Z", "240230000000+0100",
                            "99999999999999999999999999999999999Z"}) {
        int64_t s = 42;
        EXPECT_EQ(time->to_seconds(bad, &s), SEC_E_TIME_FORMAT) << bad;
        EXPECT_EQ(s, 0);
    }
    int64_t s = 0;
    EXPECT_EQ(time->to_seconds(nullptr, &s), E_INVALIDARG);
}

TEST_F(Time, NowDisplayAndValidity)
{
    char* now = nullptr;
    ASSERT_EQ(time->now(SEC_TIME_GENERALIZED, &now), S_OK);
    int64_t s = 0;
    ASSERT_EQ(time->to_seconds(now, &s), S_OK);
    EXPECT_LE(std::llabs(s - static_cast<int64_t>(std::time(nullptr))), 2);

    EXPECT_EQ(time->check_validity("20200101000000Z", now, "20991231235959Z"), S_OK);
    EXPECT_EQ(time->check_validity("20990101000000Z", now, "20991231235959Z"), SEC_E_TIME_NOT_YET_VALID);
    EXPECT_EQ(time->check_validity("200101000000Z", now, "210101000000Z"), SEC_E_TIME_EXPIRED);
    EXPECT_EQ(time->check_validity("bad", now, "20991231235959Z"), SEC_E_TIME_FORMAT);
    list->free(now);

    char* display = nullptr;
    ASSERT_EQ(time->display("000229120000Z", &display), S_OK);
    EXPECT_STREQ(display, "2000-02-29 12:00:00 UTC");
    list->free(display);
}

}  // namespace

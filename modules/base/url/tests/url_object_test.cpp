// The URL parser class created by name from module "zelkbase".
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_url.h"

#include <gtest/gtest.h>

namespace {

class UrlObject : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_EQ(Create(&a_), S_OK);
        ASSERT_EQ(Create(&b_), S_OK);
    }
    void TearDown() override
    {
        a_->Release();
        b_->Release();
        EXPECT_EQ(ZELK_Finalize(), S_OK);
    }
    static HRESULT Create(IURLParser** out)
    {
        return ZELK_CreateObject("zelkbase", ZELK_CLASS_URL_PARSER, IID_IURLParser, reinterpret_cast<void**>(out));
    }
    IURLParser* a_ = nullptr;
    IURLParser* b_ = nullptr;
};

TEST_F(UrlObject, ParseCompareMatch)
{
    ASSERT_EQ(a_->parse("https://X.Y.Z:443/page"), S_OK);
    EXPECT_TRUE(a_->isValid());
    EXPECT_TRUE(a_->isHTTPS());
    EXPECT_EQ(a_->getPort(), 443);
    EXPECT_EQ(a_->getLength(), 17u);
    EXPECT_TRUE(a_->cmp("https://x.y.z/"));
    EXPECT_FALSE(a_->cmp("http://x.y.z/"));
    EXPECT_FALSE(a_->cmp(static_cast<const char*>(nullptr)));
    ASSERT_EQ(b_->parse("https://x.y.z"), S_OK);
    EXPECT_TRUE(a_->cmp(b_));
    EXPECT_TRUE(a_->cmp(a_));
    EXPECT_FALSE(a_->cmp(static_cast<IURLParser*>(nullptr)));
    EXPECT_TRUE(a_->pattern_match("https://*.y.z"));
    EXPECT_FALSE(a_->pattern_match("https://*.z"));
    EXPECT_FALSE(a_->pattern_match(nullptr));
    EXPECT_EQ(b_->parse("ftp://x"), E_FAIL);
    EXPECT_EQ(b_->getLength(), static_cast<unsigned long>(-1));
    EXPECT_FALSE(a_->cmp(b_));
}

}  // namespace

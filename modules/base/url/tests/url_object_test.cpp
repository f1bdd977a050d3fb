// The URL parser class created by name from module "zelkbase".
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_url.h"

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
    // User information in the origin never passes for the host.
    EXPECT_FALSE(a_->cmp("https://x.y.z@evil.com/"));
    ASSERT_EQ(b_->parse("https://a@x.y.z/"), E_FAIL);
    EXPECT_FALSE(b_->isValid());
    EXPECT_FALSE(b_->pattern_match("https://*.y.z"));
    EXPECT_FALSE(a_->cmp(b_));
    EXPECT_EQ(b_->parse("ftp://x"), E_FAIL);
    EXPECT_EQ(b_->getLength(), static_cast<unsigned long>(-1));
    EXPECT_FALSE(a_->cmp(b_));
}

std::vector<std::string> s_lines;

int Collect(int, const char*, const char*, const char* text)
{
    s_lines.push_back(text);
    return 0;
}

// Each operation writes its entry and exit record; a refused pattern says why.
TEST_F(UrlObject, OperationsWriteEntryAndExitRecords)
{
    void* library = dlopen("libqevcrypto.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    auto registerCallback =
        reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(dlsym(library, "Qevcryptolib_RegisterTraceCallback"));
    auto setLevel = reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(dlsym(library, "Qevcryptolib_SetTraceLevel"));
    ASSERT_NE(registerCallback, nullptr);
    ASSERT_NE(setLevel, nullptr);
    setLevel(4);
    registerCallback(0, Collect);
    s_lines.clear();
    a_->parse("https://x.y.z:8443/p");
    a_->getLength();
    a_->pattern_match("https://*.z:8443");
    registerCallback(0, nullptr);
    setLevel(0);
    dlclose(library);
    std::string all;
    for (const std::string& line : s_lines)
        all += line + "\n";
    for (const char* expected : {"{ URLParser::parse", "{ URLParser::getLength", "} 18", "{ URLParser::pattern_match",
                                 "Need two domain name parts"}) {
        EXPECT_NE(all.find(expected), std::string::npos) << expected << " in\n" << all;
    }
}

}  // namespace

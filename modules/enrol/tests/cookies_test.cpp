// The cookie jar: Set-Cookie lines in, one Cookie header out; the legacy
// form; limits; and values masked in traces.
#include <string>
#include <vector>

#include "enrol_bindings.h"
#include "enrol_fixture.h"
#include "kestrin_cookies.h"
#include "zelk_text.h"

namespace kestrin::enrol::test {
namespace {

class Cookies : public EnrolRuntime {
protected:
    void SetUp() override
    {
        EnrolRuntime::SetUp();
        ASSERT_EQ(HashTables()->HashTable_CreateCommon(&jar, HASHTABLE_STRING_TO_STRING, 0), S_OK);
    }
    void TearDown() override
    {
        if (jar != nullptr)
            jar->Release();
        EnrolRuntime::TearDown();
    }
    std::string Feed(const std::vector<const char*>& lines)
    {
        StringT<char> header;
        EXPECT_EQ(ParseHTTPHeaderAndGenerateCookieHeader(jar, lines.data(), lines.size(), &header), S_OK);
        return header ? std::string(header) : std::string("<none>");
    }

    HashTable_void* jar = nullptr;
};

TEST_F(Cookies, SetCookieLinesFillTheJar)
{
    std::string header =
        Feed({"HTTP/1.1 200 OK", "Set-Cookie: a=1; Path=/", "set-cookie: b = 2 ; HttpOnly", "Content-Type: text/xml"});
    EXPECT_TRUE(header == "a=1; b=2" || header == "b=2; a=1") << header;
    struct Case {
        const char* line;
        const char* expected;
    } cases[] = {
        {"Set-Cookie: a=3", "a=3; b=2"},
        {"Set-Cookie: flag", "a=3; b=2"},
        {"Set-Cookie: a=; Path=/", "b=2"},
        // An empty value after trimming ends the cookie rather than the header.
        {"Set-Cookie: b=   ; Path=/", "<none>"},
        {"Set-Cookie: c=x=y", "c=x=y"},
        {"Set-Cookie: =novalue", "c=x=y"},
    };
    for (const Case& k : cases) {
        std::string now = Feed({k.line});
        if (std::string(k.expected) == "a=3; b=2")
            EXPECT_TRUE(now == "a=3; b=2" || now == "b=2; a=3") << k.line << " " << now;
        else
            EXPECT_EQ(now, k.expected) << k.line;
    }
    StringT<char> header2;
    EXPECT_EQ(ParseHTTPHeaderAndGenerateCookieHeader(jar, nullptr, 0, &header2), E_INVALIDARG);
    const char* line = "x";
    EXPECT_EQ(ParseHTTPHeaderAndGenerateCookieHeader(jar, &line, 1, nullptr), E_INVALIDARG);
}

TEST_F(Cookies, TheJarHoldsAtMostSixtyFourCookiesOfFourKibibytes)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 70; ++i)
        lines.push_back("Set-Cookie: c" + std::to_string(i) + "=v");
    lines.push_back("Set-Cookie: big=" + std::string(kMaxCookieLength, 'x'));
    std::vector<const char*> pointers;
    for (const std::string& l : lines)
        pointers.push_back(l.c_str());
    std::string header = Feed(pointers);
    size_t count = 1;
    for (char c : header)
        count += c == ';';
    EXPECT_EQ(count, kMaxCookies);
    EXPECT_EQ(header.find("big="), std::string::npos);
    EXPECT_EQ(header.find("c64="), std::string::npos);
    // A cookie already held may still change.
    EXPECT_NE(Feed({"Set-Cookie: c0=new"}).find("c0=new"), std::string::npos);
}

TEST_F(Cookies, LegacyModeJoinsTheCookiesOfOneValue)
{
    struct Case {
        const char* value;
        const char* expected;
    } cases[] = {
        {"a=1; Path=/, b=2; Path=/", "a=1; b=2"},
        {"a=1, b=2", "a=1, b=2"},
        {"a=1; Expires=Wed, 21 Oct 2015 07:28:00 GMT", "a=1; 21 Oct 2015 07:28:00 GMT"},
        {"", ""},
    };
    for (const Case& k : cases) {
        StringT<char> header;
        ASSERT_EQ(GenerateCookieHeader(k.value, &header), S_OK);
        EXPECT_STREQ(header, k.expected) << k.value;
    }
    StringT<char> header;
    EXPECT_EQ(GenerateCookieHeader(nullptr, &header), E_INVALIDARG);
}

TEST_F(Cookies, TracedLinesShowNoValues)
{
    struct Case {
        const char* line;
        const char* expected;
    } cases[] = {
        {"Set-Cookie: KSESSION=secret; Path=/; HttpOnly", "Set-Cookie: KSESSION=***; Path=/; HttpOnly"},
        {"Cookie: a=1; b=2", "Cookie: a=***; b=***"},
        {"Authorization: Negotiate YIIB", "Authorization: ***"},
        {"Content-Type: text/xml", "Content-Type: text/xml"},
    };
    for (const Case& k : cases) {
        StringT<char> masked;
        MaskHeaderLine(k.line, &masked);
        EXPECT_STREQ(masked, k.expected);
    }
}

}  // namespace
}  // namespace kestrin::enrol::test

#include "url/url_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrin::base::url {
namespace {

constexpr size_t kInvalid = static_cast<size_t>(-1);

struct UrlCase {
    const char* text;
    bool valid;
    int port;
    size_t prefix;
    bool https;
};

TEST(UrlParser, Splits)
{
    const UrlCase cases[] = {
        {"http://a", true, 80, 8, false},
        {"http://", false, 0, kInvalid, false},
        {"https://", false, 0, kInvalid, false},
        {"https://host/", true, 443, 12, true},
        {"https://host/a/b?c#d", true, 443, 12, true},
        {"https://host:8443/api", true, 8443, 17, true},
        {"https://host:8443", true, 8443, 17, true},
        {"https://host:0/", false, 0, kInvalid, true},
        {"https://host:-1/", false, 0, kInvalid, true},
        {"https://host:65536/", false, 0, kInvalid, true},
        {"https://host:123456/", false, 0, kInvalid, true},
        {"https://host:/", false, 0, kInvalid, true},
        {"https://host:8a", true, 8, 15, true},
        {"https://host:65535", true, 65535, 18, true},
        {"HTTPS://host/", false, 0, kInvalid, false},
        {"Http://host/", false, 0, kInvalid, false},
        {"ftp://host/", false, 0, kInvalid, false},
        {"https:///path", false, 443, kInvalid, true},
        // User information is never valid: the part before "@" is not the host.
        {"https://user@host/", false, 443, kInvalid, true},
        {"https://good.com@evil.com/", false, 443, kInvalid, true},
        {"http://a@b", false, 80, kInvalid, false},
        {"https://x:1@e/", false, 1, kInvalid, true},
        {"https://good.com\\@evil.com/", false, 443, kInvalid, true},
        {"https://good.com?@evil.com", false, 443, kInvalid, true},
        {"https://host/a@b", true, 443, 12, true},
        {"https://host:8443/@x", true, 8443, 17, true},
        {"https://[::1]:8443/", false, 0, kInvalid, true},
    };
    for (const UrlCase& c : cases) {
        UrlParser p;
        EXPECT_EQ(p.parse(c.text), c.valid ? S_OK : E_FAIL) << c.text;
        EXPECT_EQ(p.isValid(), c.valid) << c.text;
        EXPECT_EQ(p.port(), c.port) << c.text;
        EXPECT_EQ(p.prefixLength(), c.prefix) << c.text;
        EXPECT_EQ(p.isHTTPS(), c.https) << c.text;
    }
}

TEST(UrlParser, HostAndReuse)
{
    UrlParser p;
    ASSERT_EQ(p.parse("https://h.example:1/x"), S_OK);
    EXPECT_EQ(std::string(p.host(), p.hostLength()), "h.example");
    EXPECT_EQ(p.parse(nullptr), E_FAIL);
    EXPECT_FALSE(p.isValid());
    EXPECT_EQ(p.port(), 0);
    EXPECT_EQ(p.host(), nullptr);
}

TEST(UrlParser, SameOrigin)
{
    struct {
        const char* a;
        const char* b;
        bool same;
    } cases[] = {
        {"https://X.Y", "https://x.y:443/path", true}, {"http://x.y/", "https://x.y/", false},
        {"https://x.y:8443/", "https://x.y/", false},  {"https://x.y/", "https://x.yz/", false},
        {"https://x.y/", "https://", false},           {"https://a@x.y/", "https://x.y/", false},
        {"https://a@x.y/", "https://a@x.y/", false},
    };
    for (const auto& c : cases) {
        UrlParser a, b;
        a.parse(c.a);
        b.parse(c.b);
        EXPECT_EQ(a.sameOrigin(b), c.same) << c.a << " " << c.b;
        EXPECT_EQ(b.sameOrigin(a), c.same) << c.a << " " << c.b;
    }
    UrlParser invalid;
    invalid.parse("nothing");
    EXPECT_FALSE(invalid.sameOrigin(invalid));
    UrlParser valid;
    valid.parse("https://a/");
    EXPECT_TRUE(valid.sameOrigin(valid));
}

TEST(UrlParser, PatternMatch)
{
    struct {
        const char* url;
        const char* pattern;
        Match result;
    } cases[] = {
        {"https://x.y.z", "https://*.y.z", Match::Yes},
        {"https://X.Y.Z/page", "https://*.y.z/", Match::Yes},
        {"https://y.z", "https://*.y.z", Match::PartsDiffer},
        {"https://w.x.y.z", "https://*.y.z", Match::PartsDiffer},
        {"https://.y.z", "https://*.y.z", Match::PartsDiffer},
        {"https://x.y.z", "https://*.z", Match::NeedTwoParts},
        {"https://x.y.z", "https://*.z/a.b", Match::NeedTwoParts},
        {"https://x.y.z", "https://*z.y", Match::NeedTwoParts},
        {"https://x.y.z", "https://x.*.z", Match::InnerWildcard},
        {"https://x.y.z", "https://x.y.z", Match::Yes},
        {"https://x.y.z:443", "https://x.y.z", Match::Yes},
        {"https://x.y.z:8443", "https://x.y.z", Match::Unusable},
        {"https://x.y.z:8443", "https://*.y.z:8443", Match::Yes},
        {"http://x.y.z", "http://x.y.z", Match::Unusable},
        {"https://x.y.z", "http://x.y.z", Match::Unusable},
        {"https://x.y.z", "not a url", Match::Unusable},
        {"https://x.y.zz", "https://x.y.z", Match::LengthDiffers},
        {"https://x.y.z", "https://x.y.zz", Match::LengthDiffers},
        {"https://evil.com@x.y.z", "https://x.y.z", Match::Unusable},
        {"https://a@x.y.z/", "https://*.y.z", Match::Unusable},
        {"https://good.com@evil.com/", "https://good.com", Match::Unusable},
        {"https://x.y.z", "https://a@x.y.z", Match::Unusable},
        {"https://x.y.z/a@b", "https://*.y.z", Match::Yes},
        {"https://x.y.z.evil.com", "https://*.y.z", Match::LengthDiffers},
        {"https://x", "https://*", Match::InnerWildcard},
    };
    for (const auto& c : cases) {
        UrlParser u;
        u.parse(c.url);
        EXPECT_EQ(u.matchPattern(c.pattern), c.result) << c.url << " ~ " << c.pattern;
    }
    UrlParser u;
    u.parse("https://x.y.z");
    EXPECT_EQ(u.matchPattern(nullptr), Match::Unusable);
}

}  // namespace
}  // namespace kestrin::base::url

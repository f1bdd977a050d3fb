#include <gtest/gtest.h>

#include <string>

#include "http/http_response_builder.h"

namespace kestrin::base::http {
namespace {

std::string Serialise(ResponseBuilder& r)
{
    size_t size = 0;
    EXPECT_EQ(r.prepare(&size), S_OK);
    std::string out(size, '\0');
    r.write(reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

TEST(HttpResponse, FreshResponseWithBody)
{
    ResponseBuilder r;
    ASSERT_EQ(r.init(), S_OK);
    ASSERT_EQ(r.setBody("abc"), S_OK);
    std::string out = Serialise(r);
    EXPECT_EQ(out, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(out.size(), 41u);
}

TEST(HttpResponse, StatusLine)
{
    ResponseBuilder r;
    ASSERT_EQ(r.init(), S_OK);
    ASSERT_EQ(r.setStatus(299, nullptr), S_OK);
    EXPECT_EQ(Serialise(r).substr(0, 15), "HTTP/1.1 299 \r\n");
    EXPECT_EQ(r.setStatus(1001, "x"), E_FAIL);
    EXPECT_EQ(r.status(), 299);
    ASSERT_EQ(r.setStatus(403, "API CALL FROM ORIGIN NOT ALLOWED"), S_OK);
    EXPECT_STREQ(r.statusText(), "403 API CALL FROM ORIGIN NOT ALLOWED");
    ASSERT_EQ(r.setStatus(100, nullptr), S_OK);
    EXPECT_STREQ(r.statusText(), "100 continue");
    ASSERT_EQ(r.setStatus(306, nullptr), S_OK);
    EXPECT_STREQ(r.statusText(), "306 ");
    ASSERT_EQ(r.setStatus(-1, nullptr), S_OK);
    EXPECT_STREQ(r.statusText(), "-1 ");
    EXPECT_EQ(r.setStatus(400, "a\r\nSet-Cookie: x"), E_FAIL);
    EXPECT_STREQ(r.statusText(), "-1 ");
}

TEST(HttpResponse, HeadersInOrderAndOneContentLength)
{
    ResponseBuilder r;
    ASSERT_EQ(r.init(), S_OK);
    ASSERT_EQ(r.addHeader(" Connection ", " close "), S_OK);
    ASSERT_EQ(r.addHeader("X", "1"), S_OK);
    ASSERT_EQ(r.addHeader("X", "2"), S_OK);
    ASSERT_EQ(r.setVersion("HTTP/1.0"), S_OK);
    std::string first = Serialise(r);
    EXPECT_EQ(first, "HTTP/1.0 200 OK\r\nConnection: close\r\nX: 1\r\nX: 2\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(r.setBody("{}"), S_OK);
    EXPECT_EQ(Serialise(r), "HTTP/1.0 200 OK\r\nConnection: close\r\nX: 1\r\nX: 2\r\nContent-Length: 2\r\n\r\n{}");
    ASSERT_EQ(r.setBody(""), S_OK);
    EXPECT_EQ(Serialise(r), first);
}

TEST(HttpResponse, RefusedHeaders)
{
    ResponseBuilder r;
    ASSERT_EQ(r.init(), S_OK);
    EXPECT_EQ(r.addHeader(nullptr, "v"), E_FAIL);
    EXPECT_EQ(r.addHeader("n", nullptr), E_FAIL);
    EXPECT_EQ(r.addHeader("Access-Control-Allow-Origin", "https://a\r\nSet-Cookie: s=1"), E_FAIL);
    EXPECT_EQ(r.addHeader("A\nB", "v"), E_FAIL);
    EXPECT_EQ(r.setVersion("HTTP/1.1\r\n"), E_FAIL);
    EXPECT_EQ(r.headers().size(), 0u);
}

}  // namespace
}  // namespace kestrin::base::http

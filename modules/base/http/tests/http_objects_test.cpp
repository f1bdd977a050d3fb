// The request and response classes created by name from module "zelkbase".
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_http.h"
#include "zelk_module.h"

namespace {

class HttpObjects : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), S_OK); }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }
};

HRESULT Feed(IHTTPRequest* r, const std::string& s)
{
    return r->parse(reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())), s.size());
}

TEST_F(HttpObjects, RequestFromItsClass)
{
    IHTTPRequest* r = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_REQUEST, IID_IHTTPRequest, reinterpret_cast<void**>(&r)),
              S_OK);
    EXPECT_EQ(r->parse(nullptr, 3), E_INVALIDARG);
    EXPECT_EQ(Feed(r, "POST /mzt/sign?x=%41 HTTP/1.1\r\nOrigin: https://a.b.c\r\nContent-Length: 4\r\n\r\nab"),
              S_FALSE);
    EXPECT_FALSE(r->hasBody());
    OctetString blob {0, nullptr};
    EXPECT_EQ(r->getBodyBlob(&blob), E_FAIL);
    EXPECT_EQ(Feed(r, "cd"), S_OK);
    EXPECT_STREQ(r->getMethod(), "POST");
    EXPECT_STREQ(r->getURI(), "/mzt/sign?x=A");
    EXPECT_STREQ(r->getPath(), "/mzt/sign");
    EXPECT_STREQ(r->getHTTPVersion(), "HTTP/1.1");
    EXPECT_STREQ(r->getBody(), "abcd");
    ASSERT_EQ(r->getBodyBlob(&blob), S_OK);
    EXPECT_EQ(blob.length, 4u);
    EXPECT_EQ(std::memcmp(blob.data, "abcd", 4), 0);
    EXPECT_EQ(r->getBodyBlob(nullptr), E_INVALIDARG);
    char* value = nullptr;
    ASSERT_EQ(r->getHeaderValue("origin", &value), S_OK);
    EXPECT_STREQ(value, "https://a.b.c");
    sec_free(value);
    EXPECT_EQ(r->getHeaderValue("Content-Length", &value), E_FAIL);
    ASSERT_EQ(r->getQueryString("X", &value), S_OK);
    EXPECT_STREQ(value, "A");
    sec_free(value);
    EXPECT_EQ(r->getQueryString("x", nullptr), E_FAIL);
    EXPECT_EQ(r->getRefusalStatus(), 0);
    void* other = nullptr;
    EXPECT_EQ(r->QueryInterface(IID_IHTTPResponse, &other), E_NOINTERFACE);
    r->Release();

    ASSERT_EQ(ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_REQUEST, IID_IHTTPRequest, reinterpret_cast<void**>(&r)),
              S_OK);
    EXPECT_EQ(Feed(r, "GET /a%00 HTTP/1.1\r\n\r\n"), E_FAIL);
    EXPECT_EQ(r->getRefusalStatus(), 400);
    r->Release();

    // Parsed, but framed in a way other readers may not share.
    ASSERT_EQ(ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_REQUEST, IID_IHTTPRequest, reinterpret_cast<void**>(&r)),
              S_OK);
    EXPECT_EQ(Feed(r, "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), S_OK);
    EXPECT_EQ(r->getRefusalStatus(), 400);
    r->Release();
}

TEST_F(HttpObjects, ResponseFromItsClass)
{
    IHTTPResponse* r = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_RESPONSE, IID_IHTTPResponse, reinterpret_cast<void**>(&r)),
              S_OK);
    EXPECT_EQ(r->getStatus(), 200);
    ASSERT_EQ(r->setBody("abc"), S_OK);
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    ASSERT_EQ(r->getNetworkBytes(&buffer, &length), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
    // A second call keeps one Content-Length; the buffer grows as needed.
    ASSERT_EQ(r->addHeader("Connection", "close"), S_OK);
    ASSERT_EQ(r->setStatus(404, nullptr), S_OK);
    ASSERT_EQ(r->getNetworkBytes(&buffer, &length), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc");
    sec_free(buffer);
    EXPECT_EQ(r->setStatus(1001, nullptr), E_FAIL);
    EXPECT_EQ(r->getStatus(), 404);
    EXPECT_EQ(r->addHeader(nullptr, "x"), E_FAIL);
    EXPECT_EQ(r->getNetworkBytes(nullptr, &length), E_INVALIDARG);
    r->Release();
}

}  // namespace

// The HTTP layer and the JSON API handler over the recording facade, with the
// real request parser and response builder of module "zelkbase".
#include "webadapter/api_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "facade_double.h"
#include "service_fixture.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_json.h"
#include "zelk_module.h"

namespace kestrin::webadapter::test {
namespace {

using kestrin::service::test::ServiceTest;
using ZELK::PSESVC::WEBCLIENT::CAPIFactory;
using ZELK::PSESVC::WEBCLIENT::CAPIHandler;

CZELK_CLASS s_facade("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, &CreateFacadeDouble);

const std::string kOrigin = "Origin: https://enrol.test:8443\r\n";
const std::string kAllow = "Access-Control-Allow-Origin: https://enrol.test:8443\r\nAccess-Control-Max-Age: 0\r\n";
const std::string kNoCache = "Cache-Control: no-cache, no-store, must-revalidate\r\nPragma: no-cache\r\nExpires: 0\r\n";
const std::string kJson = "Content-Type: application/json; charset=utf-8\r\n";

std::string Get(const std::string& target, const std::string& headers = kOrigin)
{
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n";
}

std::string Post(const std::string& target, const std::string& body, const std::string& headers = kOrigin)
{
    return "POST " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers
           + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

API_COMMON* s_json = nullptr;
CLoadAPI s_loadJson("zelkbase", JSONAPI_NAME, &s_json);

// A JSON body as the JSON writer lays it out.
std::string Written(const std::string& json)
{
    const auto* table = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(s_json);
    OctetString text {json.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(json.data()))};
    AuxRefPtr<IJsonObject> object;
    AuxPtr<OctetString> dump;
    if (table == nullptr || FAILED(table->json_parse(&text, &object)) || FAILED(object->Dump(&dump)) || !dump)
        return "<no JSON>";
    return std::string(reinterpret_cast<const char*>(dump->data), static_cast<size_t>(dump->length));
}

// A status line, headers and a body (a JSON object when it begins with "{")
// with the Content-Length that closes the headers.
std::string Response(const std::string& status, const std::string& headers, const std::string& given = "")
{
    std::string body = given.rfind('{', 0) == 0 ? Written(given) : given;
    return "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + headers
           + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class ApiHandlerTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        FacadeDouble::Reset();
    }

    static ITunnel* NewHandler(uint32_t pid = 0)
    {
        ITunnel* tunnel = nullptr;
        EXPECT_EQ(CFactoryImpl<CAPIHandler>::New(IID_ITunnel, reinterpret_cast<void**>(&tunnel)), S_OK);
        if (pid != 0 && tunnel != nullptr) {
            ITunnelControl* control = nullptr;
            EXPECT_EQ(tunnel->QueryInterface(IID_ITunnelControl, reinterpret_cast<void**>(&control)), S_OK);
            SECAttribute attribute {};
            attribute.id = ATTR_CLIENT_PID;
            attribute.value = &pid;
            EXPECT_EQ(control->SetProperties(&attribute), S_OK);
            control->Release();
        }
        return tunnel;
    }

    // The tunnel's answer to `request` fed in one piece ("<result>" when not 0).
    static std::string Transact(ITunnel* tunnel, const std::string& request)
    {
        unsigned long length = 16;
        auto* out = static_cast<unsigned char*>(sec_malloc(length));
        std::string bytes(request);
        HRESULT hr = tunnel->Transact(reinterpret_cast<unsigned char*>(bytes.data()),
                                      static_cast<unsigned long>(bytes.size()), &out, &length);
        std::string answer =
            hr == S_OK ? std::string(reinterpret_cast<char*>(out), length) : "<" + std::to_string(hr) + ">";
        sec_free(out);
        return answer;
    }
};

struct ApiCase {
    const char* name;
    std::string request;
    std::string response;
    std::vector<std::string> calls;  // after checkOrigin
    const char* answer = nullptr;    // operation answering `status`
    int status = 200;
    const char* traced = nullptr;  // the method name of the error trace
};

TEST_F(ApiHandlerTest, AnswersEachPathMethodAndOriginAsListed)
{
    const std::string o = FacadeDouble::kAccepted;
    const std::vector<ApiCase> cases = {
        {"status",
         Get("/kvc3/api/status?profileid=p1"),
         Response("200 OK", kNoCache + kJson + kAllow, R"({"profileid":"p1","status":"LOGGED_IN"})"),
         {"status " + o + " p1"}},
        {"status, name without case",
         Get("/kvc3/api/STATUS?profileid=p1"),
         Response("200 OK", kNoCache + kJson + kAllow, R"({"profileid":"p1","status":"LOGGED_IN"})"),
         {"status " + o + " p1"}},
        {"status without profile id",
         Get("/kvc3/api/status?profileid="),
         Response("400 Bad Request", kAllow, "PROFILEID MISSING"),
         {}},
        {"status of an unknown profile",
         Get("/kvc3/api/status?profileid=p9"),
         Response("404 Not Found", kAllow),
         {"status " + o + " p9", "traceOrigins " + o + " p9", "traceProfileIDs " + o + " p9"},
         "status",
         404,
         "GET::status"},
        {"profile names",
         Get("/kvc3/api/profileNames"),
         Response("200 OK", kNoCache + kJson + kAllow, R"({"profiles":["Office"]})"),
         {"getProfileNames"}},
        {"profile names failing",
         Get("/kvc3/api/profileNames"),
         Response("500 Internal Server Error", kAllow),
         {"getProfileNames"},
         "getProfileNames",
         500},
        {"bare prefix", Get("/kvc3/api/"), Response("200 OK", kAllow), {}},
        {"status under /kvc/", Get("/kvc/status?profileid=p1"), Response("404 Not Found", kAllow, "API NOT FOUND"), {}},
        {"prefix in capitals",
         Get("/KVC3/api/status?profileid=p1"),
         Response("404 Not Found", kAllow, "Only requests in KVC namespace supported"),
         {}},
        {"unknown GET name", Get("/kvc3/api/login"), Response("404 Not Found", kAllow, "API NOT FOUND"), {}},
        {"login in capitals",
         Post("/kvc3/api/LOGIN", R"({"profileid":"p1"})"),
         Response("200 OK", kJson + kAllow, R"({"profileid":"p1","status":"SUCCESS"})"),
         {"login " + o + " p1"}},
        {"logout refused",
         Post("/kvc3/api/logout", R"({"profileid":"p1"})"),
         Response("404 Not Found", kAllow),
         {"logout " + o + " p1", "traceOrigins " + o + " p1", "traceProfileIDs " + o + " p1"},
         "logout",
         404,
         "POST::logout"},
        {"cancel of another origin's context",
         Post("/kvc3/api/cancelContext", R"({"profileid":"p1"})"),
         Response("403 Forbidden", kAllow),
         {"cancelContext " + o + " p1 (null)", "traceOrigins " + o + " p1", "traceProfileIDs " + o + " p1"},
         "cancelContext",
         403,
         "POST::cancelContexte"},
        {"import",
         Post("/kvc3/api/importP7", R"({"profileid":"p1","uid":"u1","pkcs7":"MIIC"})"),
         Response("200 OK", kJson + kAllow, "{}"),
         {"importP7 " + o + " p1 u1 MIIC"}},
        {"clear cache",
         Post("/kvc3/api/clearSChannelCache", R"({"profileid":"p1"})"),
         Response("200 OK", kJson + kAllow, "{}"),
         {"clearSChannelCache"}},
        {"body without profile id",
         Post("/kvc3/api/login", R"({"profileid":7})"),
         Response("400 Bad Request", kAllow, "PROFILE ID MISSING"),
         {}},
        {"body that is no JSON",
         Post("/kvc3/api/login", R"({"profileid":"p1")"),
         Response("400 Bad Request", kAllow, "PROFILE ID MISSING"),
         {}},
        {"request without members",
         Post("/kvc3/api/createPKCS10", R"({"profileid":"p1"})"),
         Response("400 Bad Request", kAllow, "Subject missing"),
         {}},
        {"request without extensions",
         Post("/kvc3/api/createPKCS10", R"({"profileid":"p1","subjectNameDER":"s"})"),
         Response("400 Bad Request", kAllow, "Extension missing"),
         {}},
        {"request without uid",
         Post("/kvc3/api/createPKCS10", R"({"profileid":"p1","subjectNameDER":"s","extensionsDER":"e"})"),
         Response("400 Bad Request", kAllow, "UID missing"),
         {}},
        {"request",
         Post("/kvc3/api/createPKCS10", R"({"profileid":"p1","subjectNameDER":"s","extensionsDER":"e","uid":"u1"})"),
         Response("200 OK", kJson + kAllow, R"({"pkcs10":"MIIB"})"),
         {"createPKCS10 " + o + " p1 u1 s e"}},
        {"context without configuration",
         Post("/kvc3/api/createContext", R"({"profileid":"p1","clientConfig":"x"})"),
         Response("400 Bad Request", kAllow, "Config Object missing"),
         {}},
        {"context",
         Post("/kvc3/api/createContext", R"({"profileid":"p1","clientConfig":{"browserMonitor":true}})"),
         Response("200 OK", kJson + kAllow, R"({"uid":"u1"})"),
         {"createContext " + o + " p1 0 monitor"}},
        {"unknown POST name",
         Post("/kvc3/api/sign", R"({"profileid":"p1"})"),
         Response("404 Not Found", kAllow, "API NOT FOUND"),
         {}},
        {"empty POST name",
         Post("/kvc3/api/", R"({"profileid":"p1"})"),
         Response("404 Not Found", kAllow, "API NOT FOUND"),
         {}},
        {"control list",
         Post("/kvc/getprofiles", R"({"operation":"list"})"),
         Response("200 OK", kJson + kAllow, R"({"status":0})"),
         {"transact " + o + " kvc/getprofiles body"}},
        {"control list without body",
         Post("/kvc/getprofiles", ""),
         Response("200 OK", kJson + kAllow, R"({"status":0})"),
         {"transact " + o + " kvc/getprofiles nobody"}},
        {"control sign failing",
         Post("/mzt/sign", R"({"id":"1"})"),
         Response("404 Not Found", kAllow, "API NOT FOUND"),
         {"transact " + o + " mzt/sign body"},
         "transact",
         -1},
        {"control name with a capital",
         Post("/kvc/Getprofiles", "{}"),
         Response("400 Bad Request", kAllow, "PROFILE ID MISSING"),
         {}},
        {"control name with a capital and a profile",
         Post("/kvc/Getprofiles", R"({"profileid":"p1"})"),
         Response("404 Not Found", kAllow, "API NOT FOUND"),
         {}},
        {"preflight",
         "OPTIONS /kvc3/api/login HTTP/1.1\r\n" + kOrigin + "\r\n",
         Response("204 No Content", "Access-Control-Allow-Methods: POST, GET\r\nAccess-Control-Allow-Headers: accept, "
                                    "content-type\r\n"
                                        + kAllow),
         {}},
        {"preflight without name",
         "OPTIONS /kvc3/api/ HTTP/1.1\r\n" + kOrigin + "\r\n",
         Response("404 Not Found", kAllow, "Options::API METHOD NOT FOUND"),
         {}},
        {"method other than GET, POST and OPTIONS",
         "PUT /kvc3/api/profileNames HTTP/1.1\r\n" + kOrigin + "\r\n",
         Response("405 Method Not Allowed", kAllow),
         {}},
        {"method from a refused origin",
         "PUT /kvc3/api/profileNames HTTP/1.1\r\nOrigin: https://other.test:8443\r\n\r\n",
         Response("403 Forbidden", "", "API CALL FROM ORIGIN NOT ALLOWED"),
         {}},
        {"GET from http",
         Get("/kvc3/api/profileNames", "Origin: http://enrol.test:8443\r\n"),
         Response("403 Forbidden", "", "API CALL FROM ORIGIN NOT ALLOWED"),
         {}},
        {"POST from another port",
         Post("/kvc3/api/login", R"({"profileid":"p1"})", "Origin: https://enrol.test:9443\r\n"),
         Response("403 Forbidden", "", "API CALL FROM ORIGIN NOT ALLOWED"),
         {}},
        {"GET without origin",
         Get("/kvc3/api/profileNames", ""),
         Response("403 Forbidden", "", "API CALL FROM ORIGIN NOT ALLOWED"),
         {}},
        {"preflight from a refused origin",
         "OPTIONS /kvc3/api/login HTTP/1.1\r\nOrigin: http://enrol.test:8443\r\n\r\n",
         Response("204 No Content", "Access-Control-Allow-Methods: POST, GET\r\nAccess-Control-Allow-Headers: accept, "
                                    "content-type\r\nAccess-Control-Max-Age: 0\r\n"),
         {}},
        {"page address as referer",
         Get("/kvc3/api/profileNames", "Referer: https://enrol.test:8443/enrol/page.html\r\n"),
         Response("200 OK", kNoCache + kJson + kAllow, R"({"profiles":["Office"]})"),
         {"getProfileNames"}},
    };
    CaptureTrace(4);
    for (const ApiCase& c : cases) {
        SCOPED_TRACE(c.name);
        FacadeDouble::Reset();
        if (c.answer != nullptr)
            FacadeDouble::Answer(c.answer, c.status);
        size_t traces = CountTrace("HTTP Error(");
        ITunnel* tunnel = NewHandler();
        ASSERT_NE(tunnel, nullptr);
        EXPECT_EQ(Transact(tunnel, c.request), c.response);
        tunnel->Release();
        std::vector<std::string> calls = FacadeDouble::Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front().rfind("checkOrigin ", 0), 0u);
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()), c.calls);
        if (c.traced != nullptr)
            EXPECT_EQ(CountTrace("HTTP Error(" + std::to_string(c.status) + ") on Method: " + c.traced), 1u);
        else
            EXPECT_EQ(CountTrace("HTTP Error("), traces);
    }
}

TEST_F(ApiHandlerTest, RequestSplitOverCallsIsAnsweredWhenCompleteAndTheNextStartsFresh)
{
    ITunnel* tunnel = NewHandler();
    std::string request = Post("/kvc3/api/login", R"({"profileid":"p1"})");
    for (size_t i = 0; i + 1 < request.size(); ++i)
        ASSERT_EQ(Transact(tunnel, request.substr(i, 1)), "<1>") << i;
    EXPECT_EQ(Transact(tunnel, request.substr(request.size() - 1)).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(Transact(tunnel, Get("/kvc3/api/status")).substr(0, 24), "HTTP/1.1 400 Bad Request");
    ITunnelControl* control = nullptr;
    ASSERT_EQ(tunnel->QueryInterface(IID_ITunnelControl, reinterpret_cast<void**>(&control)), S_OK);
    EXPECT_FALSE(control->CloseAfterTransact());
    EXPECT_EQ(control->GetProperties(nullptr), E_NOTIMPL);
    control->Release();
    EXPECT_EQ(tunnel->Disconnect(), static_cast<HRESULT>(0xFFFFFFFF));
    tunnel->Release();
}

TEST_F(ApiHandlerTest, RequestTheParserRefusesIsAnsweredWithItsStatusAndCloses)
{
    struct Refusal {
        const char* name;
        std::string request;
        const char* status;
    };
    const std::vector<Refusal> cases = {
        {"header line over 1024 bytes waiting for its end",
         "GET /kvc3/api/status HTTP/1.1\r\nOrigin: " + std::string(1100, 'a'), "400 Bad Request"},
        {"request line over 1024 bytes waiting for its end", "GET /kvc3/api/" + std::string(1100, 'a'),
         "414 Request-URI Too Large"},
        {"body over 1 MiB", "POST /kvc3/api/login HTTP/1.1\r\n" + kOrigin + "Content-Length: 1048577\r\n\r\n",
         "413 Request Entity Too Large"},
        {"ambiguous framing",
         "POST /kvc3/api/login HTTP/1.1\r\n" + kOrigin + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n{}",
         "400 Bad Request"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        FacadeDouble::Reset();
        ITunnel* tunnel = NewHandler();
        EXPECT_EQ(Transact(tunnel, c.request), Response(c.status, ""));
        ITunnelControl* control = nullptr;
        ASSERT_EQ(tunnel->QueryInterface(IID_ITunnelControl, reinterpret_cast<void**>(&control)), S_OK);
        EXPECT_TRUE(control->CloseAfterTransact());
        control->Release();
        tunnel->Release();
        EXPECT_TRUE(FacadeDouble::Calls().empty());
    }
}

TEST_F(ApiHandlerTest, EachHandlerPassesItsOwnPeerProcessId)
{
    ITunnel* first = NewHandler(101);
    ITunnel* second = NewHandler(202);
    const std::string request = Post("/kvc3/api/createContext", R"({"profileid":"p1","clientConfig":{}})");
    Transact(second, request);
    Transact(first, request);
    const std::string o = FacadeDouble::kAccepted;
    std::vector<std::string> calls = FacadeDouble::Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1], "createContext " + o + " p1 202");
    EXPECT_EQ(calls[3], "createContext " + o + " p1 101");
    first->Release();
    second->Release();
}

TEST_F(ApiHandlerTest, FactoryIsOneObjectMakingANewHandlerPerCall)
{
    IClassFactory* factory = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", ZELK::PSESVC::WEBCLIENT::API_FACTORY_CLASS, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory)),
              S_OK);
    IClassFactory* again = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", ZELK::PSESVC::WEBCLIENT::API_FACTORY_CLASS, IID_IClassFactory,
                                reinterpret_cast<void**>(&again)),
              S_OK);
    EXPECT_EQ(factory, again);
    ITunnel* one = nullptr;
    ITunnel* two = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&one)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&two)), S_OK);
    EXPECT_NE(one, two);
    void* none = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(factory->LockServer(true), S_OK);
    EXPECT_EQ(static_cast<CAPIFactory*>(factory)->CreateInstance(), S_OK);
    one->Release();
    two->Release();
    again->Release();
    factory->Release();
}

}  // namespace
}  // namespace kestrin::webadapter::test

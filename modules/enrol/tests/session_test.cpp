// Whole enrolments with protocol 1.0 against the test enrolment server: every
// login kind, the chain checked by the openssl tool, SPNEGO with a real KDC,
// the URL walk, cookies, transport failures and cancelling a key generation.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "enrol_fixture.h"
#include "enrol_server.h"
#include "kdc_fixture.h"
#include "keystore.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_kestrin.h"
#include "zelk_object.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::enrol::test {
namespace {

using kestrin::testsupport::Base64Decode;
using kestrin::testsupport::Base64Encode;
using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::KdcFixture;
using kestrin::testsupport::QueuedReply;
using kestrin::testsupport::RunProgram;

KdcFixture* s_kdc = nullptr;
EnrolServer* s_server = nullptr;

// The token supplier of the enrolment token: real SPNEGO tokens for
// "HTTP@localhost" from the ticket cache of the KDC fixture.
class SpnegoSupplier : public IKestrin_SPNegoCB, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(SpnegoSupplier)
    ZELK_INTMAP_ENTRY(IKestrin_SPNegoCB)
    ZELK_END_INTMAP()

    HRESULT CreateSPNegoToken(const char* service, char** token) override
    {
        ++calls;
        gss_buffer_desc nameText {std::strlen("HTTP@localhost"), const_cast<char*>("HTTP@localhost")};
        gss_name_t target = GSS_C_NO_NAME;
        OM_uint32 minor = 0;
        if (gss_import_name(&minor, &nameText, GSS_C_NT_HOSTBASED_SERVICE, &target) != GSS_S_COMPLETE)
            return E_FAIL;
        static gss_OID_desc spnego {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
        gss_ctx_id_t context = GSS_C_NO_CONTEXT;
        gss_buffer_desc out {0, nullptr};
        OM_uint32 major =
            gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, target, &spnego, 0, 0,
                                 GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
        gss_release_name(&minor, &target);
        gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
        if (GSS_ERROR(major) || out.length == 0)
            return E_FAIL;
        std::string b64 = Base64Encode(std::string(static_cast<char*>(out.value), out.length));
        gss_release_buffer(&minor, &out);
        *token = static_cast<char*>(sec_malloc(b64.size() + 1));
        std::memcpy(*token, b64.c_str(), b64.size() + 1);
        (void)service;
        return S_OK;
    }
    std::atomic<int> calls {0};
};

class Session : public EnrolRuntime {
protected:
    static void SetUpTestSuite()
    {
        s_kdc = new KdcFixture();
        s_server = new EnrolServer();
        std::string error;
        if (!s_kdc->Start(error) || !s_server->Start(error, s_kdc))
            GTEST_FAIL() << error;
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        delete s_kdc;
        s_server = nullptr;
        s_kdc = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_server, nullptr);
        s_kdc->ExportToProcess();
        EnrolRuntime::SetUp();
        // The test CA's root is trusted in the user's key store.
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        ASSERT_EQ(kestrin::keystore::KeyStore::Open({}, &store), S_OK);
        std::string root = Base64Decode(PemBody(s_server->ReadFile("root")));
        ASSERT_EQ(
            store->SetTrustSetting(kestrin::keystore::TrustDomain::User,
                                   std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(root.data()), root.size()),
                                   kestrin::keystore::TrustSetting::Trusted),
            S_OK);
        ASSERT_EQ(ZELK_PolOpen("profiles/test", &policy), S_OK);
        ASSERT_EQ(
            ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, IID_IKestrin, reinterpret_cast<void**>(&client)),
            S_OK);
        s_server->Reset();
    }

    void TearDown() override
    {
        if (client != nullptr)
            client->Release();
        if (policy != nullptr)
            ZELK_PolClose(&policy);
        EnrolRuntime::TearDown();
    }

    static std::string PemBody(const std::string& pem)
    {
        std::string body;
        std::istringstream in(pem);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("-----", 0) != 0)
                body += line;
        return body;
    }

    void Urls(std::initializer_list<std::string> urls)
    {
        int n = 0;
        for (const std::string& u : urls)
            ASSERT_EQ(policy->SetString(("enrollURL" + std::to_string(n++)).c_str(), u.c_str()), S_OK);
        ASSERT_EQ(client->SetPolicy(policy), S_OK);
    }

    std::string File(const std::string& name, const OctetString* der)
    {
        std::string path = m_home.path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(der->data), static_cast<std::streamsize>(der->length));
        return path;
    }

    // The issued certificate verifies up to the test root, and its key is the one the client holds.
    void ExpectIssued()
    {
        ASSERT_EQ(client->GetState(), QM_STATE_DONE);
        OctetString *key = nullptr, *cert = nullptr, *chain = nullptr, *root = nullptr;
        ASSERT_EQ(client->Get_Token(&key, &cert, &chain, &root), S_OK);
        ASSERT_NE(root, nullptr);
        const std::string certFile = File("cert.der", cert);
        const std::string keyFile = File("key.der", key);
        ASSERT_EQ(RunProgram({"openssl", "x509", "-inform", "DER", "-in", certFile, "-out", certFile + ".pem"}, {}), 0);
        EXPECT_EQ(RunProgram({"openssl", "verify", "-CAfile", s_server->File("root"), "-untrusted",
                              s_server->File("inter"), certFile + ".pem"},
                             {}),
                  0);
        std::string fromKey, fromCert;
        RunProgram({"openssl", "pkey", "-inform", "DER", "-in", keyFile, "-pubout"}, {}, &fromKey);
        RunProgram({"openssl", "x509", "-in", certFile + ".pem", "-pubkey", "-noout"}, {}, &fromCert);
        EXPECT_FALSE(fromKey.empty());
        EXPECT_EQ(fromKey, fromCert);
        for (OctetString* o : {key, cert, chain, root})
            if (o != nullptr) {
                sec_memzero(o->data, o->length);
                sec_free(o->data);
                sec_free(o);
            }
    }

    // A new client of its own profile with one URL: the result of its Send_Init.
    HRESULT Fresh(const std::string& profile, const std::string& url)
    {
        ZELK_IPolicy* own = nullptr;
        EXPECT_EQ(ZELK_PolOpen(profile.c_str(), &own), S_OK);
        own->SetString("enrollURL0", url.c_str());
        IKestrin* fresh = nullptr;
        EXPECT_EQ(
            ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, IID_IKestrin, reinterpret_cast<void**>(&fresh)),
            S_OK);
        fresh->SetPolicy(own);
        HRESULT hr = fresh->Send_Init(nullptr);
        EXPECT_EQ(fresh->GetState(), hr == S_OK ? QM_STATE_AUTH : QM_STATE_ERROR) << url;
        fresh->Release();
        ZELK_PolClose(&own);
        return hr;
    }

    IKestrin* client = nullptr;
    ZELK_IPolicy* policy = nullptr;
};

TEST_F(Session, PasswordLoginEnrolsAndTheRequestVerifies)
{
    Urls({s_server->Url("good", "/KestrinServer/kvc1/enrol")});
    ASSERT_EQ(client->SetCertNameRequest("alice"), S_OK);
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    EXPECT_EQ(client->CreateKey(1024), S_FALSE);
    ASSERT_EQ(client->Send_Init(L"de-DE"), S_OK);
    EXPECT_EQ(client->GetState(), QM_STATE_AUTH);
    EXPECT_EQ(Narrow(client->GetString(1)), "Test disclaimer\r\nsecond line");
    EXPECT_EQ(Narrow(client->GetString(7)), "localhost");
    EXPECT_EQ(client->Send_Auth(L"alice", L"wrong"), E_ACCESSDENIED);
    EXPECT_EQ(client->GetState(), QM_STATE_AUTH);
    EXPECT_EQ(Narrow(client->GetString(2)), "ACM_ACCESS_DENIED <E17>");
    ASSERT_EQ(client->Send_Auth(L"alice", L"secret"), S_OK);
    EXPECT_EQ(Narrow(client->GetString(2)), "Welcome alice");
    ExpectIssued();

    auto requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(EnrolServer::HeaderValues(requests[0], "Accept-Language"), (std::vector<std::string> {"de-DE", "en-US"}));
    EXPECT_EQ(EnrolServer::HeaderValues(requests[0], "X-User-Agent"),
              std::vector<std::string> {"Kestrin Client 3.0.2000.0"});
    EXPECT_TRUE(EnrolServer::HeaderValues(requests[0], "Cookie").empty());
    // The session's cookies come back on every later request.
    const auto cookies = EnrolServer::HeaderValues(requests[2], "Cookie");
    ASSERT_EQ(cookies.size(), 1u);
    EXPECT_NE(cookies[0].find("KSESSION="), std::string::npos);
    EXPECT_NE(cookies[0].find("route=n1"), std::string::npos);

    // The request the server received: subject, key and signature.
    std::string body = EnrolServer::Body(requests[2]);
    size_t start = body.find("<PKCS10>") + 8;
    std::string csr = Base64Decode(body.substr(start, body.find("</PKCS10>") - start));
    OctetString der {csr.size(), reinterpret_cast<unsigned char*>(csr.data())};
    std::string out;
    EXPECT_EQ(
        RunProgram({"openssl", "req", "-inform", "DER", "-in", File("req.der", &der), "-verify", "-noout", "-subject"},
                   {}, &out),
        0);
    EXPECT_NE(out.find("CN = alice"), std::string::npos) << out;
}

TEST_F(Session, EveryLoginKindEndsWithACertificate)
{
    // Old server (code page 1252): a user name and password beyond ASCII.
    Urls({s_server->Url("good", "/kestrin/enrol")});
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    ASSERT_EQ(client->Send_Init(nullptr), S_OK);
    ASSERT_EQ(client->Send_Auth(Wide("j\xC3\xB6rg").c_str(), Wide("p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC").c_str()),
              S_OK);
    ExpectIssued();

    // One-time code, then the next code.
    ASSERT_EQ(client->Send_Init(nullptr), S_OK);
    EXPECT_EQ(client->Send_NextCode(L"222222"), E_FAIL);
    ASSERT_EQ(client->Send_Auth(L"otp", L"111111"), S_OK);
    EXPECT_EQ(client->GetState(), QM_STATE_NEXT_CODE);
    ASSERT_EQ(client->Send_NextCode(L"222222"), S_OK);
    ExpectIssued();

    // New PIN in each select mode.
    struct Case {
        const wchar_t* user;
        HRESULT mode;
    } cases[] = {{L"pin-user", S_QM_PIN_USER_SELECTABLE},
                 {L"pin-must", S_QM_PIN_MUST_CHOOSE},
                 {L"pin-cannot", S_QM_PIN_CANNOT_CHOOSE}};
    for (const Case& k : cases) {
        ASSERT_EQ(client->Send_Init(nullptr), S_OK);
        ASSERT_EQ(client->Send_Auth(k.user, L"1234"), k.mode);
        EXPECT_EQ(client->GetState(), QM_STATE_NEW_PIN);
        int minLength = 0, maxLength = 0;
        signed char alphanumeric = 1;
        client->GetPinFormatInfo(&minLength, &maxLength, &alphanumeric);
        EXPECT_EQ(minLength, 4);
        EXPECT_EQ(maxLength, 8);
        EXPECT_EQ(alphanumeric, 0);
        std::wstring pin;
        if (k.mode == S_QM_PIN_CANNOT_CHOOSE) {
            EXPECT_EQ(Narrow(client->GetString(4)), "13579");
            ASSERT_EQ(client->Send_ServerPin(), S_QM_NEW_PIN_ACCEPTED);
            pin = L"13579";
        } else {
            EXPECT_EQ(client->Send_NewPin(L"12"), E_QM_NEW_PIN_REJECTED);
            EXPECT_EQ(client->GetState(), QM_STATE_AUTH);
            ASSERT_EQ(client->Send_Auth(k.user, L"1234"), k.mode);
            ASSERT_EQ(client->Send_NewPin(L"24680"), S_QM_NEW_PIN_ACCEPTED);
            pin = L"24680";
        }
        EXPECT_EQ(client->GetState(), QM_STATE_AUTH);
        ASSERT_EQ(client->Send_Auth(k.user, pin.c_str()), S_OK);
        ExpectIssued();
    }
}

TEST_F(Session, KerberosLoginAndTheNegotiateChallenge)
{
    ASSERT_TRUE(s_kdc->Kinit("alice", s_kdc->Keytab("alice")));
    ASSERT_EQ(policy->SetString("PseType", "kerberoslogin"), S_OK);
    Urls({s_server->Url("good", "/negotiate/KestrinServer/kvc1/enrol")});
    auto* supplier = new CComObject<SpnegoSupplier>();
    supplier->AddRef();
    ASSERT_EQ(client->SetSPNegoCB(supplier), S_OK);
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    ASSERT_EQ(client->Send_Init(nullptr), S_OK);
    EXPECT_EQ(client->GetState(), QM_STATE_SPNEGO);
    char* token = nullptr;
    ASSERT_EQ(supplier->CreateSPNegoToken(nullptr, &token), S_OK);
    ASSERT_EQ(client->Send_Auth_SPNEGO(token), S_OK);
    sec_free(token);
    EXPECT_EQ(Narrow(client->GetString(3)), "kerberos:");
    ExpectIssued();

    // The first request was challenged once and repeated with a token; every
    // later request carried a token of its own.
    auto requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(EnrolServer::HeaderValues(requests[0], "Authorization").empty());
    std::set<std::string> tokens;
    for (size_t i = 1; i < requests.size(); ++i) {
        auto auth = EnrolServer::HeaderValues(requests[i], "Authorization");
        ASSERT_EQ(auth.size(), 1u);
        EXPECT_EQ(auth[0].rfind("Negotiate ", 0), 0u);
        tokens.insert(auth[0]);
    }
    EXPECT_EQ(tokens.size(), 2u);
    auto accepted = s_server->SpnegoAccepted();
    ASSERT_EQ(accepted.size(), 3u);
    EXPECT_EQ(accepted[0]["principal"], "alice@KESTRIN.TEST");
    supplier->Release();
}

TEST_F(Session, TheUrlWalkSkipsWhatFailsAndReportsTheLastFailure)
{
    const int dead = kestrin::testsupport::FreeLoopbackPort();
    Urls({"https://localhost:" + std::to_string(dead) + "/kestrin/", s_server->Url("good", "/kestrin/x")});
    ASSERT_EQ(client->Send_Init(nullptr), S_OK);
    EXPECT_EQ(Narrow(client->GetString(5)), s_server->Url("good", "/kestrin/x"));
    EXPECT_EQ(client->Send_Init(nullptr), E_FAIL);  // in state AUTH

    struct Case {
        std::string url;
        HRESULT expected;
    } cases[] = {
        {s_server->Url("wrongname", "/kestrin/"), E_QM_URL_ERROR_SSL_NAME},
        {s_server->Url("unknownca", "/kestrin/"), E_QM_URL_ERROR_SSL},
        {s_server->Url("expired", "/kestrin/"), E_QM_URL_ERROR_SSL},
        {s_server->Url("denied", "/kestrin/"), E_ACCESSDENIED},
        {"https://no-such-host.invalid/kestrin/", E_QM_SERVER_ERROR_NOHOST},
        {"http://localhost:" + std::to_string(s_server->Port("admin")) + "/kestrin/", E_QM_URL_ERROR},
    };
    int n = 0;
    for (const Case& k : cases) {
        EXPECT_EQ(Fresh("profiles/case" + std::to_string(n++), k.url), k.expected) << k.url;
    }
}

TEST_F(Session, TimeOutsComeFromThePolicy)
{
    ZELK_IPolicy* own = nullptr;
    ASSERT_EQ(ZELK_PolOpen("profiles/slow", &own), S_OK);
    ASSERT_EQ(own->SetDWORD("networkTimeout", 1), S_OK);
    ZELK_PolClose(&own);
    EXPECT_EQ(Fresh("profiles/slow", "https://localhost:" + std::to_string(s_server->Port("silent")) + "/kestrin/"),
              E_QM_SERVER_CONNECT_TIMEOUT);
}

TEST_F(Session, RepliesOfAnySizeOrShape)
{
    const std::string head = "<ZaravAduvIzer><Control><ActionRequest>CONFIG_ACTION</ActionRequest></Control>";
    const std::string tail = "</ZaravAduvIzer>";
    QueuedReply exact, over, comment, garbage;
    exact.body = head + std::string(0x100000 - head.size() - tail.size(), ' ') + tail;
    over.body = exact.body + " ";
    comment.body = head + "<!-- x -->" + tail;
    garbage.body = "\x01\x02not xml";
    for (const QueuedReply* r : {&exact, &over, &comment, &garbage})
        ASSERT_TRUE(s_server->Queue("/kestrin/big", *r));
    const std::string url = s_server->Url("good", "/kestrin/big");
    EXPECT_EQ(Fresh("profiles/exact", url), S_OK);
    EXPECT_EQ(Fresh("profiles/over", url), E_QM_PARSER_ERROR);
    EXPECT_EQ(Fresh("profiles/comment", url), E_QM_PARSER_ERROR);
    EXPECT_EQ(Fresh("profiles/garbage", url), E_QM_PARSER_ERROR);
}

TEST_F(Session, CancelStopsALargeKeyGeneration)
{
    std::atomic<HRESULT> result {S_OK};
    std::thread keys([&] { result = client->CreateKey(4096); });
    client->Cancel();
    keys.join();
    // Either the generation saw the flag or it had not begun: both refuse.
    EXPECT_EQ(result.load(), E_ABORT);
    OctetString reply {0, nullptr};
    EXPECT_EQ(client->ImportPKCS7(&reply), E_ABORT);
    EXPECT_EQ(client->CreateKey(512), E_ABORT);
}

}  // namespace
}  // namespace kestrin::enrol::test

namespace kestrin::enrol::test {
namespace {

// Answers the client's input fields by field name; the number of fields.
size_t Answer(IKestrin* client, const std::map<std::string, std::wstring>& values)
{
    size_t n = 0;
    for (;; ++n) {
        IKestrinInputField* field = nullptr;
        if (client->GetInputObjects(n, &field) != S_OK)
            return n;
        auto it = values.find(field->GetField() != nullptr ? field->GetField() : "");
        if (it != values.end())
            field->SetValue(it->second.c_str());
        field->Release();
    }
}

std::map<std::string, std::string> Form(const std::string& body)
{
    std::map<std::string, std::string> form;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        const size_t eq = pair.find('=');
        form[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        start = end + 1;
    }
    return form;
}

TEST_F(Session, Protocol3DialogueEnrolsWithTheServersTemplate)
{
    Urls({s_server->Url("good", "/KestrinServer/kvc3/doLogin?tenant=t1")});
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    ASSERT_EQ(client->Send_Init(L"en-US"), S_OK);
    EXPECT_EQ(client->GetProtocolVersion(), 3);
    ASSERT_EQ(client->GetState(), QM_STATE_INPUT);
    EXPECT_EQ(Narrow(client->GetString(2)), "Welcome");
    EXPECT_EQ(Narrow(client->GetString(1)), "Test disclaimer");
    // The client configuration reached the profile.
    EXPECT_EQ(policy->GetDWORD("networkTimeout"), 17u);
    char* text = nullptr;
    ASSERT_GE(policy->GetString("kestrinTestText", &text), 0);
    EXPECT_STREQ(text, "from server");
    sec_free(text);

    // A wrong password: the same fields again, with an error message.
    EXPECT_EQ(Answer(client, {{"username", L"alice"}, {"password", L"wrong"}}), 2u);
    EXPECT_EQ(client->Send_Auth(), E_ACCESSDENIED);
    EXPECT_EQ(client->GetState(), QM_STATE_INPUT);
    EXPECT_EQ(client->GetType(), 2u);
    EXPECT_EQ(Narrow(client->GetString(8)), "Wrong user name or password");
    EXPECT_EQ(Narrow(client->GetString(2)), "");

    Answer(client, {{"username", L"alice"}, {"password", L"secret"}});
    ASSERT_EQ(client->Send_Auth(), S_OK);
    ASSERT_EQ(client->GetState(), QM_STATE_INPUT);
    EXPECT_EQ(Answer(client, {{"otp", L"222222"}}), 1u);
    ASSERT_EQ(client->Send_Auth(), S_OK);
    IKestrinInputField* pin = nullptr;
    ASSERT_EQ(client->GetInputObjects(0, &pin), S_OK);
    EXPECT_STREQ(pin->GetField(), "newpin");
    EXPECT_STREQ(pin->GetConfirmField(), "Repeat the PIN:");
    pin->Release();
    Answer(client, {{"newpin", L"4711"}});
    ASSERT_EQ(client->Send_Auth(), S_OK);
    ASSERT_EQ(client->GetState(), QM_STATE_READY);
    ASSERT_EQ(client->Send_PKCS10(), S_OK);
    ExpectIssued();

    // Every post after the first carried the salt of the reply before it,
    // encoded; the certificate request went to getCertificate with the query.
    auto requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(EnrolServer::Body(requests[0]), "subjectName=CN%3Ddummy");
    const std::string answer = EnrolServer::Body(requests[2]);
    EXPECT_EQ(answer.rfind("salt_", 0), 0u) << answer;
    EXPECT_NE(answer.find("=s%2B%2F%3D"), std::string::npos) << answer;
    EXPECT_EQ(Form(answer)["username"], "alice");
    EXPECT_EQ(requests[5]["target"], "/KestrinServer/kvc3/getCertificate?tenant=t1");
    EXPECT_EQ(EnrolServer::HeaderValues(requests[5], "Content-Type"),
              std::vector<std::string> {"application/pkcs10; name=certreq.p10"});
    EXPECT_EQ(EnrolServer::HeaderValues(requests[1], "Content-Type"),
              std::vector<std::string> {"application/x-www-form-urlencoded; charset=UTF-8"});
}

TEST_F(Session, Protocol3CertificateStepFailures)
{
    // Replies in place of the issued certificate, made by the openssl tool
    // from the test CA's files.
    const std::string dir = m_home.path();
    const std::string pem = dir + "/client.pem";
    ASSERT_EQ(
        RunProgram({"sh", "-c",
                    "openssl pkcs12 -in '" + s_server->File("client") + "' -passin pass: -nokeys -clcerts > '" + pem
                        + "' && openssl crl2pkcs7 -nocrl -certfile '" + pem + "' -certfile '" + s_server->File("inter")
                        + "' -outform DER -out '" + dir + "/otherkey.p7' && openssl crl2pkcs7 -nocrl -certfile '"
                        + s_server->File("inter") + "' -certfile '" + s_server->File("root") + "' -outform DER -out '"
                        + dir + "/nocert.p7'"},
                   {}),
        0);
    auto read = [&](const std::string& name) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    struct Case {
        const char* name;
        QueuedReply reply;
        HRESULT expected;  // S_FALSE: any failure
        const char* message;
        // The login path; without "doLogin?" the request goes to the login
        // URL itself, which answers no certificate.
        const char* path = "/KestrinServer/kvc3/doLogin?";
    };
    QueuedReply refused;
    refused.status = 403;
    refused.reason = "Forbidden";
    refused.headers = {{"Content-Type", "message/plain; charset=UTF-8"}};
    refused.body = "Zertifikat abgelehnt: Gr\xC3\xBC\xC3\x9F"
                   "e";
    QueuedReply empty;
    QueuedReply otherKey;
    otherKey.headers = {{"Content-Type", "application/pkcs7-mime"}};
    otherKey.body = read("otherkey.p7");
    QueuedReply noCertificate = otherKey;
    noCertificate.body = read("nocert.p7");
    const Case cases[] = {
        {"refused", refused, E_FAIL,
         "Zertifikat abgelehnt: Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"empty", empty, S_OK, nullptr},
        {"other key", otherKey, S_FALSE, nullptr},
        {"no certificate", noCertificate, S_FALSE, nullptr},
        {"login URL kept", empty, S_FALSE, nullptr, "/KestrinServer/kvc3/doLogin"},
    };
    int n = 0;
    for (const Case& c : cases) {
        ZELK_IPolicy* own = nullptr;
        ASSERT_EQ(ZELK_PolOpen(("profiles/v3-fail-" + std::to_string(n++)).c_str(), &own), S_OK);
        own->SetString("enrollURL0", s_server->Url("good", c.path).c_str());
        IKestrin* fresh = nullptr;
        ASSERT_EQ(
            ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, IID_IKestrin, reinterpret_cast<void**>(&fresh)),
            S_OK);
        fresh->SetPolicy(own);
        ASSERT_EQ(fresh->CreateKey(1024), S_OK);
        ASSERT_EQ(fresh->Send_Init(nullptr), S_OK);
        Answer(fresh, {{"username", L"bob"}, {"password", L"secret"}});
        ASSERT_EQ(fresh->Send_Auth(), S_OK) << c.name;
        ASSERT_EQ(fresh->GetState(), QM_STATE_READY) << c.name;
        s_server->Reset();
        ASSERT_TRUE(s_server->Queue("/KestrinServer/kvc3/getCertificate", c.reply));
        const HRESULT hr = fresh->Send_PKCS10();
        const auto requests = s_server->Requests();
        ASSERT_EQ(requests.size(), 1u) << c.name;
        EXPECT_EQ(requests[0]["target"],
                  std::string(c.path).find('?') != std::string::npos ? "/KestrinServer/kvc3/getCertificate?" : c.path)
            << c.name;
        if (c.expected == S_FALSE) {
            EXPECT_LT(hr, 0) << c.name;
        } else {
            EXPECT_EQ(hr, c.expected) << c.name;
        }
        EXPECT_EQ(fresh->GetState(), QM_STATE_ERROR) << c.name;
        if (c.message != nullptr) {
            EXPECT_EQ(Narrow(fresh->GetString(8)), c.message) << c.name;
        }
        OctetString* key = nullptr;
        EXPECT_LT(fresh->Get_Token(&key, nullptr, nullptr, nullptr), 0) << c.name;
        fresh->Release();
        ZELK_PolClose(&own);
    }
}

TEST_F(Session, Protocol2LoginKindsEnrol)
{
    struct Case {
        const char* user;
        const wchar_t* password;
        QM_CLIENT_STATE after;
        const wchar_t* second;
    } cases[] = {
        {"alice", L"secret", QM_STATE_READY, nullptr},
        {"pin-user", L"1234", QM_STATE_NEW_PIN, L"4711"},
        {"otp", L"111111", QM_STATE_NEXT_CODE, L"222222"},
    };
    int n = 0;
    for (const Case& c : cases) {
        ZELK_IPolicy* own = nullptr;
        ASSERT_EQ(ZELK_PolOpen(("profiles/v2-" + std::to_string(n++)).c_str(), &own), S_OK);
        own->SetString("enrollURL0", s_server->Url("good", "/KestrinServer/kvc2/doLogin?").c_str());
        IKestrin* fresh = nullptr;
        ASSERT_EQ(
            ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, IID_IKestrin, reinterpret_cast<void**>(&fresh)),
            S_OK);
        fresh->SetPolicy(own);
        ASSERT_EQ(fresh->CreateKey(1024), S_OK);
        ASSERT_EQ(fresh->Send_Init(nullptr), S_OK) << c.user;
        EXPECT_EQ(fresh->GetProtocolVersion(), 2);
        ASSERT_EQ(fresh->GetState(), QM_STATE_AUTH) << c.user;
        EXPECT_EQ(Narrow(fresh->GetString(2)), "Hello\nPlease log in");
        EXPECT_EQ(own->GetDWORD("networkTimeout"), 19u);
        EXPECT_EQ(fresh->Send_Auth(Wide(c.user).c_str(), L"wrong"), E_ACCESSDENIED) << c.user;
        EXPECT_EQ(fresh->GetState(), QM_STATE_AUTH);
        ASSERT_EQ(fresh->Send_Auth(Wide(c.user).c_str(), c.password), S_OK) << c.user;
        ASSERT_EQ(fresh->GetState(), c.after) << c.user;
        if (c.after == QM_STATE_NEW_PIN) {
            ASSERT_EQ(fresh->Send_NewPin(c.second), S_OK);
        } else if (c.after == QM_STATE_NEXT_CODE) {
            ASSERT_EQ(fresh->Send_NextCode(c.second), S_OK);
        }
        ASSERT_EQ(fresh->GetState(), QM_STATE_READY) << c.user;
        ASSERT_EQ(fresh->Send_PKCS10(), S_OK) << c.user;
        EXPECT_EQ(fresh->GetState(), QM_STATE_DONE);
        std::swap(client, fresh);
        ExpectIssued();
        std::swap(client, fresh);
        fresh->Release();
        ZELK_PolClose(&own);
    }
    // Every form carried the salt, converted and encoded.
    for (const auto& request : s_server->Requests()) {
        const std::string body = EnrolServer::Body(request);
        if (request["target"].get<std::string>().find("doLogin") != std::string::npos
            && body.rfind("Client=", 0) != 0) {
            EXPECT_EQ(Form(body)["j_salt"], "s%C3%A4lt%2B%2F%3D") << body;
        }
    }
}

TEST_F(Session, Protocol2SpnegoTokenIsNotReplayed)
{
    Urls({s_server->Url("good", "/KestrinServer/kvc2/doLogin?")});
    auto* supplier = new CComObject<SpnegoSupplier>();
    supplier->AddRef();
    ASSERT_EQ(client->SetSPNegoCB(supplier), S_OK);
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    ASSERT_EQ(client->Send_Init(nullptr), S_OK);
    char* token = nullptr;
    ASSERT_EQ(supplier->CreateSPNegoToken(nullptr, &token), S_OK);
    ASSERT_EQ(client->Send_Auth_SPNEGO(token), S_OK);
    sec_free(token);
    ASSERT_EQ(client->GetState(), QM_STATE_READY);
    // The certificate request carries a token of its own: the server's
    // replay cache refuses the first one again.
    ASSERT_EQ(client->Send_PKCS10(), S_OK) << Narrow(client->GetString(8));
    ExpectIssued();
    auto requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 3u);
    const auto login = EnrolServer::HeaderValues(requests[1], "Authorization");
    const auto certificate = EnrolServer::HeaderValues(requests[2], "Authorization");
    ASSERT_EQ(login.size(), 1u);
    ASSERT_EQ(certificate.size(), 1u);
    EXPECT_NE(login[0], certificate[0]);
    EXPECT_EQ(EnrolServer::Body(requests[1]), "&j_salt=s%C3%A4lt%2B%2F%3D");
    EXPECT_EQ(s_server->SpnegoAccepted().size(), 2u);
    supplier->Release();
}

}  // namespace
}  // namespace kestrin::enrol::test

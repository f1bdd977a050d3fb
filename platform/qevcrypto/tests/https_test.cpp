// HTTPS through a security context's URL context (slots 11 and 12), against
// the test enrolment server: trust from the context's PSE and the key store,
// the name and extension checks, each transport code from a real failure, the
// proxy, headers, methods and the body cap.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "data_home.h"
#include "enrol_server.h"
#include "keystore.h"
#include "qev_attributes.h"
#include "qev_fixture.h"
#include "qev_io.h"
#include "qev_pse.h"
#include "qev_results.h"
#include "test_process.h"

namespace {

using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::QueuedReply;

EnrolServer* s_server = nullptr;

std::string PemToDerFile(const std::string& pem, const std::string& out)
{
    FILE* f = std::fopen(pem.c_str(), "r");
    X509* x = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr)
        std::fclose(f);
    unsigned char* der = nullptr;
    int n = x != nullptr ? i2d_X509(x, &der) : 0;
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<char*>(der), n > 0 ? n : 0);
    OPENSSL_free(der);
    X509_free(x);
    return out;
}

struct Reply {
    HRESULT hr = E_FAIL;
    std::string body;
    std::string status;
};

class Https : public QevLibrary {
protected:
    static void SetUpTestSuite()
    {
        s_server = new EnrolServer();
        std::string error;
        if (!s_server->Start(error)) {
            delete s_server;
            s_server = nullptr;
            FAIL() << error;
        }
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_server, nullptr);
        QevLibrary::SetUp();
        rootDer = PemToDerFile(s_server->File("root"), home.root + "/root.der");
        setenv("QEV_TRUSTPSE_FILES", rootDer.c_str(), 1);
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
        std::string provider = "qevtrustpse";
        SECAttribute first {};
        first.id = 1;
        first.value = provider.data();
        ASSERT_EQ(ZELK_ApiCast<SEC_ASC_TABLE>(table)->create_ASC(&asc, &first), S_OK);
        list->release_api(&table);
        ASSERT_EQ(asc->createURLContext(&context), S_OK);
        s_server->Reset();
    }
    void TearDown() override
    {
        if (context != nullptr)
            context->Release();
        if (asc != nullptr)
            asc->Release();
        unsetenv("QEV_TRUSTPSE_FILES");
        QevLibrary::TearDown();
    }

    url_connection* Open(const std::string& url, unsigned int flags = 0, unsigned long timeout = 5)
    {
        context->setTimeout(timeout, 0);
        url_connection* c = nullptr;
        EXPECT_EQ(context->createConnection(&c, 0), S_OK);
        c->setNameChecks(flags);
        c->open(url.c_str(), "1.0");
        return c;
    }

    Reply Send(url_connection* c, const std::string* body = nullptr)
    {
        Reply r;
        OctetString request {body != nullptr ? body->size() : 0,
                             body != nullptr ? reinterpret_cast<unsigned char*>(const_cast<char*>(body->data()))
                                             : nullptr};
        OctetString* response = nullptr;
        r.hr = c->sendRequest(body != nullptr ? &request : nullptr, &response);
        if (response != nullptr) {
            r.body.assign(reinterpret_cast<char*>(response->data), response->length);
            std::free(response->data);
            std::free(response);
        }
        if (const char* status = c->getStatusLine())
            r.status = status;
        return r;
    }

    HRESULT Get(const std::string& url, unsigned int flags = 0, unsigned long timeout = 5)
    {
        url_connection* c = Open(url, flags, timeout);
        HRESULT hr = Send(c).hr;
        c->Release();
        return hr;
    }

    TempDataHome home;
    std::string rootDer;
    ASC* asc = nullptr;
    url_context* context = nullptr;
};

TEST_F(Https, PostsTheBodyWithOwnHeadersInOrderAndKeepsTheFinalResponse)
{
    QueuedReply reply;
    reply.status = 201;
    reply.reason = "Created";
    reply.headers = {{"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}, {"X-Empty", ""}};
    reply.body = "answer";
    ASSERT_TRUE(s_server->Queue("/post", reply));
    url_connection* c = Open(s_server->Url("good", "/post?q=1"));
    c->addRequestHeader("X-One", "1");
    c->addRequestHeader("Accept-Language", "de-DE");
    c->addRequestHeader("Accept-Language", "en-US");
    c->addRequestHeader("Cookie", "old=0");
    c->setRequestHeader("cookie", "k=v");
    const std::string body = "<x>&</x>";
    Reply r = Send(c, &body);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.status, "201 Created");
    EXPECT_EQ(r.body, "answer");
    EXPECT_STREQ(c->getResponseHeader("SET-COOKIE"), "a=1");
    EXPECT_EQ(c->getResponseHeader("X-Missing"), nullptr);
    unsigned long count = 0;
    const char* const* lines = c->getResponseHeaderLines(&count);
    std::vector<std::string> cookies;
    for (unsigned long i = 0; i < count; ++i)
        if (strncasecmp(lines[i], "set-cookie:", 11) == 0)
            cookies.emplace_back(lines[i]);
    EXPECT_EQ(cookies, (std::vector<std::string> {"Set-Cookie: a=1", "set-cookie: b=2"}));
    SET_OF_String* host = nullptr;
    ASSERT_EQ(c->getHost(&host), S_OK);
    EXPECT_STREQ(host->element, "localhost");
    API_COMMON* types = nullptr;
    ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &types), S_OK);
    EXPECT_EQ(SEC_TypeTable(types, SEC_TYPE_SET_OF_String)->free(host), S_OK);
    list->release_api(&types);

    // An empty body is still a POST; no body is a GET.
    const std::string empty;
    EXPECT_EQ(Send(c, &empty).status, "404 Not Found");
    EXPECT_EQ(Send(c).status, "404 Not Found");
    c->Release();

    auto requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0]["method"], "POST");
    EXPECT_EQ(requests[0]["target"], "/post?q=1");
    EXPECT_EQ(requests[0]["version"], "HTTP/1.0");
    EXPECT_EQ(EnrolServer::Body(requests[0]), body);
    EXPECT_EQ(EnrolServer::HeaderValues(requests[0], "Accept-Language"), (std::vector<std::string> {"de-DE", "en-US"}));
    EXPECT_EQ(EnrolServer::HeaderValues(requests[0], "Cookie"), std::vector<std::string> {"k=v"});
    EXPECT_TRUE(EnrolServer::HeaderValues(requests[0], "Accept").empty());
    EXPECT_TRUE(EnrolServer::HeaderValues(requests[0], "Content-Type").empty());
    EXPECT_TRUE(EnrolServer::HeaderValues(requests[0], "Expect").empty());
    EXPECT_EQ(requests[1]["method"], "POST");
    EXPECT_EQ(requests[2]["method"], "GET");
}

TEST_F(Https, ServerCertificatesAreCheckedAsTheFlagsSay)
{
    struct Case {
        const char* kind;
        const char* host;
        unsigned int flags;
        HRESULT expected;
    } cases[] = {
        {"good", "localhost", 0, S_OK},
        {"good", "127.0.0.1", 0, S_OK},
        {"good", "localhost", 7, S_OK},
        {"wrongname", "localhost", 0, E_URL_CERTNAME},
        {"cnonly", "localhost", 0, S_OK},
        {"cnonly", "localhost", URL_CHECK_COMMON_NAME, S_OK},
        {"cnonly", "localhost", URL_CHECK_ALT_NAMES, E_URL_CERTNAME},
        {"noserverauth", "localhost", 0, S_OK},
        {"noserverauth", "localhost", URL_CHECK_EXTENSIONS, E_URL_CERTEXT},
        {"expired", "localhost", 0, E_URL_CERTCHAIN},
        {"unknownca", "localhost", 0, E_SSL_UNTRUSTED},
        {"denied", "localhost", 0, E_SSL_ACCESSDENIED},
    };
    for (const Case& k : cases) {
        std::string url = "https://" + std::string(k.host) + ":" + std::to_string(s_server->Port(k.kind)) + "/";
        EXPECT_EQ(Get(url, k.flags), k.expected) << k.kind << " " << k.host << " flags " << k.flags;
    }
}

TEST_F(Https, TrustComesFromThePseOrTheKeyStore)
{
    unsetenv("QEV_TRUSTPSE_FILES");
    url_context* bare = nullptr;
    ASSERT_EQ(asc->createURLContext(&bare), S_OK);
    auto get = [&](url_context* ctx) {
        url_connection* c = nullptr;
        EXPECT_EQ(ctx->createConnection(&c, 0), S_OK);
        c->open(s_server->Url("good", "/").c_str(), "1.1");
        OctetString* response = nullptr;
        HRESULT hr = c->sendRequest(nullptr, &response);
        if (response != nullptr) {
            std::free(response->data);
            std::free(response);
        }
        c->Release();
        return hr;
    };
    EXPECT_EQ(get(bare), E_SSL_UNTRUSTED);

    std::unique_ptr<kestrin::keystore::KeyStore> store;
    ASSERT_EQ(kestrin::keystore::KeyStore::Open({}, &store), S_OK);
    std::ifstream in(rootDer, std::ios::binary);
    std::vector<uint8_t> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(
        store->SetTrustSetting(kestrin::keystore::TrustDomain::User, der, kestrin::keystore::TrustSetting::Trusted),
        S_OK);
    EXPECT_EQ(get(bare), S_OK);
    ASSERT_EQ(store->SetTrustSetting(kestrin::keystore::TrustDomain::User, der, kestrin::keystore::TrustSetting::Deny),
              S_OK);
    EXPECT_EQ(get(bare), E_SSL_UNTRUSTED);
    bare->Release();
}

TEST_F(Https, EachTransportFailureHasItsCode)
{
    EXPECT_EQ(Get("http://localhost:" + std::to_string(s_server->Port("admin")) + "/requests"), E_URL_FAILED);
    EXPECT_EQ(Get("https://no-such-host.invalid/"), E_URL_UNKNOWNHOST);
    const int refused = kestrin::testsupport::FreeLoopbackPort();
    EXPECT_EQ(Get("https://localhost:" + std::to_string(refused) + "/"), E_URL_FAILED);
    EXPECT_EQ(Get("https://localhost:" + std::to_string(s_server->Port("silent")) + "/", 0, 1), E_URL_TIMEOUT);
    EXPECT_EQ(Get("https://127.0.0.1:" + std::to_string(s_server->Port("blackhole")) + "/", 0, 1),
              E_URL_CONNECTTIMEOUT);

    QueuedReply garbage;
    garbage.raw = "this is no HTTP\r\n\r\n";
    ASSERT_TRUE(s_server->Queue("/garbage", garbage));
    EXPECT_EQ(Get(s_server->Url("good", "/garbage")), E_URL_SERVERERROR);
}

TEST_F(Https, ResponseBodiesAreCappedAtFourMebibytes)
{
    QueuedReply full, over;
    full.body.assign(URL_MAX_RESPONSE_BODY, 'a');
    over.body.assign(URL_MAX_RESPONSE_BODY + 1, 'a');
    ASSERT_TRUE(s_server->Queue("/full", full));
    ASSERT_TRUE(s_server->Queue("/over", over));
    url_connection* c = Open(s_server->Url("good", "/full"));
    Reply r = Send(c);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.body.size(), URL_MAX_RESPONSE_BODY);
    c->Release();
    EXPECT_EQ(Get(s_server->Url("good", "/over")), E_URL_SERVERERROR);
}

TEST_F(Https, ProxyOnlyWhenConfigured)
{
    // The environment's proxy variables are never used.
    setenv("https_proxy", "http://127.0.0.1:1", 1);
    setenv("HTTPS_PROXY", "http://127.0.0.1:1", 1);
    EXPECT_EQ(Get(s_server->Url("good", "/direct")), S_OK);
    EXPECT_TRUE(s_server->ProxyTargets().empty());
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");

    url_connection* c = Open(s_server->Url("good", "/via"));
    const std::string proxy = " http://127.0.0.1:" + std::to_string(s_server->Port("proxy")) + " ";
    ASSERT_EQ(c->setProxy(proxy.c_str(), "1.0", 0, 0), S_OK);
    Reply r = Send(c);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.status, "404 Not Found");
    c->Release();
    auto targets = s_server->ProxyTargets();
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].get<std::string>().rfind("CONNECT localhost:" + std::to_string(s_server->Port("good")), 0),
              0u);

    c = Open(s_server->Url("good", "/via"));
    ASSERT_EQ(c->setProxy("http://no-such-proxy.invalid:3128", "1.0", 0, 0), S_OK);
    EXPECT_EQ(Send(c).hr, E_URL_UNKNOWNHOST);
    EXPECT_EQ(c->setProxy("socks5://127.0.0.1:1080", "1.0", 0, 0), E_INVALIDARG);
    c->Release();
}

TEST_F(Https, TlsContextAppliesTheClientDefaultsOnly)
{
    ssl_context* tls = nullptr;
    ASSERT_EQ(asc->getSSLContext(&tls), S_OK);
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(tls->Initialize(SSL_SETTING_CLIENT_DEFAULTS), S_OK);
    EXPECT_EQ(tls->Initialize(7), E_INVALIDARG);
    EXPECT_EQ(tls->reserved7(), E_NOTIMPL);
    EXPECT_EQ(tls->reserved56(), E_NOTIMPL);
    tls->Release();
}

// The option word stays with the security context, and no bit of it lowers
// the client's checks: the untrusted root and the wrong name still fail.
TEST_F(Https, TlsContextKeepsItsOptionWordWithoutEffectOnClients)
{
    ssl_context* tls = nullptr;
    ASSERT_EQ(asc->getSSLContext(&tls), S_OK);
    unsigned long options = 1;
    EXPECT_EQ(tls->GetOptions(&options), S_OK);
    EXPECT_EQ(options, 0u);
    EXPECT_EQ(tls->GetOptions(nullptr), E_POINTER);
    EXPECT_EQ(tls->SetOptions(options | SSL_OPTION_NO_RENEGOTIATION), S_OK);
    tls->Release();

    ssl_context* again = nullptr;
    ASSERT_EQ(asc->getSSLContext(&again), S_OK);
    EXPECT_EQ(again, tls);
    EXPECT_EQ(again->GetOptions(&options), S_OK);
    EXPECT_EQ(options, SSL_OPTION_NO_RENEGOTIATION);
    EXPECT_EQ(again->SetOptions(~0ul), S_OK);
    EXPECT_EQ(again->Initialize(SSL_SETTING_CLIENT_DEFAULTS), S_OK);
    again->Release();

    EXPECT_EQ(Get(s_server->Url("good", "/plain")), S_OK);
    EXPECT_EQ(Get(s_server->Url("unknownca", "/plain")), E_SSL_UNTRUSTED);
    EXPECT_EQ(Get(s_server->Url("wrongname", "/plain")), E_URL_CERTNAME);
    EXPECT_EQ(asc->getSSLContext(nullptr), E_POINTER);
}

}  // namespace

namespace {

// In-memory files and PSE images of a security context: an image with a key
// makes the context's client identity, one of certificates only its trust
// anchors.
class ContextImages : public Https {
protected:
    void SetUp() override
    {
        Https::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_IO_1", &table), S_OK);
        io = ZELK_ApiCast<SEC_IO_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
        ascs = ZELK_ApiCast<SEC_ASC_TABLE>(table);
    }

    std::string Register(const std::string& bytes)
    {
        OctetString data {bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
        char* name = nullptr;
        EXPECT_EQ(io->mem_reg(nullptr, &data, &name), S_OK);
        std::string out = name != nullptr ? name : "";
        std::free(name);
        return out;
    }

    // A context of the images, with a password when given.
    HRESULT Context(const std::vector<std::string>& images, const char* password, ASC** out)
    {
        std::vector<SECAttribute> chain(images.size() + 1);
        size_t n = 0;
        for (const std::string& name : images) {
            chain[n].id = SEC_ATTR_PSE_IMAGE;
            chain[n].value = const_cast<char*>(name.c_str());
            chain[n].next = &chain[n + 1];
            ++n;
        }
        chain[n].id = password != nullptr ? SEC_ATTR_PASSWORD : SEC_ATTR_NO_PROVIDER;
        chain[n].value = const_cast<char*>(password);
        return ascs->create_ASC(out, chain.data());
    }

    // The server's answer to a GET through a context, and the client name it saw.
    std::pair<HRESULT, std::string> Fetch(ASC* through)
    {
        QueuedReply reply;
        reply.body = "hello";
        s_server->Queue("/who", reply);
        url_context* urls = nullptr;
        EXPECT_EQ(through->createURLContext(&urls), S_OK);
        urls->setTimeout(5, 0);
        url_connection* c = nullptr;
        urls->createConnection(&c, 0);
        c->open(s_server->Url("clientcert", "/who").c_str(), "1.0");
        Reply r = Send(c);
        c->Release();
        urls->Release();
        std::string client;
        for (const auto& request : s_server->Requests())
            if (request["target"] == "/who" && request["client"].is_string())
                client = request["client"];
        s_server->Reset();
        return {r.status == "200 OK" ? r.hr : (FAILED(r.hr) ? r.hr : E_FAIL), client};
    }

    const SEC_IO_TABLE* io = nullptr;
    const SEC_ASC_TABLE* ascs = nullptr;
};

TEST_F(ContextImages, AnIdentityImageAuthenticatesTheClientAndAnchorsImagesAreTrusted)
{
    const std::string identity = Register(s_server->ReadFile("client"));
    ASSERT_EQ(
        kestrin::testsupport::RunProgram({"openssl", "pkcs12", "-export", "-nokeys", "-in", s_server->File("root"),
                                          "-passout", "pass:", "-out", home.root + "/anchors.p12"},
                                         {}),
        0);
    std::ifstream in(home.root + "/anchors.p12", std::ios::binary);
    const std::string anchors = Register(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_EQ(identity.rfind("mem://", 0), 0u) << identity;
    ASSERT_NE(identity, anchors);

    // The identity and the anchors, both with the empty password: the client
    // shows its certificate to a server that its anchors trust.
    ASC* both = nullptr;
    ASSERT_EQ(Context({anchors, identity}, nullptr, &both), S_OK);
    auto [hr, client] = Fetch(both);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(client, "Kestrin Test Client");
    both->Release();

    // Without the identity the server ends the handshake; without the
    // anchors the server is not trusted.
    for (const std::string& only : {anchors, identity}) {
        ASC* one = nullptr;
        ASSERT_EQ(Context({only}, "", &one), S_OK);
        EXPECT_TRUE(FAILED(Fetch(one).first)) << only;
        one->Release();
    }

    // Images that do not open fail the context: a wrong password, a name that
    // is no in-memory file, bytes that are no image.
    ASC* none = nullptr;
    EXPECT_EQ(Context({identity}, "wrong", &none), E_PSE_BADPASSWORD);
    EXPECT_EQ(Context({"mem://none"}, nullptr, &none), SEC_E_IO_NOT_FOUND);
    const std::string junk = Register("no image");
    EXPECT_TRUE(FAILED(Context({junk}, nullptr, &none)));
    EXPECT_EQ(none, nullptr);

    // Slot 3 reads a memory file; unregistering removes it once.
    OctetString* read = nullptr;
    ASSERT_EQ(io->file2OctetString(junk.c_str(), &read), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read->data), read->length), "no image");
    std::free(read->data);
    std::free(read);
    OctetString replaced {3, reinterpret_cast<unsigned char*>(const_cast<char*>("new"))};
    EXPECT_EQ(io->OctetString2file(junk.c_str(), &replaced), S_OK);
    for (const std::string& name : {identity, anchors, junk})
        EXPECT_EQ(io->mem_unreg(name.c_str()), S_OK);
    EXPECT_EQ(io->mem_unreg(junk.c_str()), SEC_E_IO_NOT_FOUND);
    EXPECT_EQ(io->file2OctetString(junk.c_str(), &read), SEC_E_IO_NOT_FOUND);
    OctetString named {0, nullptr};
    EXPECT_EQ(io->mem_reg("mem://fixed", &named, nullptr), S_OK);
    EXPECT_EQ(io->mem_reg("mem://fixed", &named, nullptr), SEC_E_IO_EXISTS);
    EXPECT_EQ(io->mem_unreg("mem://fixed"), S_OK);
}

}  // namespace

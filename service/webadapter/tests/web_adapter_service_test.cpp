// The local HTTPS server as a whole: the TLS connection factory over a test
// local-server profile, the web adapter service over the real raw TCP server,
// and curl and openssl s_client as its peers.
#include "webadapter/web_adapter_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chromium/chromium_fixture.h"
#include "enrol_server.h"
#include "facade_double.h"
#include "qev_io.h"
#include "service_fixture.h"
#include "test_process.h"
#include "webadapter/tls_connection_factory.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_resloader.h"

// The service's texts; the socket module built in binds the policy table.
ZELK_RESLOADER_CLIENT_BINDING();

namespace kestrin::webadapter::test {
namespace {

using kestrin::service::test::ServiceTest;
using kestrin::testsupport::Chromium;
using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::FreeLoopbackPort;
using kestrin::testsupport::MakeLocalhostIdentity;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;
using ZELK::PSESVC::CWebAdapterService;
using ZELK::PSESVC::WEBCLIENT::CTLSConnectionFactory;

API_COMMON* s_io = nullptr;
CLoadAPI s_loadIo(nullptr, "SEC_IO_1", &s_io);

// The local-server profile the test factories see.
struct Profile {
    std::mutex lock;
    bool hasIdentity = true;
    int port = -1;
    int delayMs = 0;
    std::string image;  // the in-memory file of the identity
    std::atomic<int> enrolments {0};
};
Profile s_profile;

class TestFactory : public CTLSConnectionFactory {
protected:
    HRESULT EnrollLocalhostProfile() override
    {
        ++s_profile.enrolments;
        std::lock_guard<std::mutex> lock(s_profile.lock);
        if (s_profile.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(s_profile.delayMs));
        if (!s_profile.hasIdentity)
            return E_FAIL;
        SetIdentity("localserver", s_profile.image.c_str(), s_profile.port);
        return s_profile.port < 0 ? E_FAIL : S_OK;
    }
};

CZELK_CLASS s_facade("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, &CreateFacadeDouble);
CZELK_CLASS s_tlsFactory("zelk", ZELK::PSESVC::WEBCLIENT::TLS_FACTORY_CLASS,
                         &CTLSConnectionFactory::NewOf<TestFactory>);

const std::string kOrigin = FacadeDouble::kAccepted;

bool Listening(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Sends `bytes` on a new connection, then waits for the server to close it:
// true when it does, whatever it answered before.
bool ClosedAfter(int port, const std::string& bytes, bool halfClose)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit {60, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    bool closed = false;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        if (halfClose)
            shutdown(s, SHUT_WR);
        char buffer[4096];
        ssize_t n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) {
        }
        closed = n == 0 || errno == ECONNRESET;
    }
    close(s);
    return closed;
}

int ConnectTo(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit {120, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// One GET of "status" over TLS on a new socket: the status line answered.
std::string TlsRequest(SSL_CTX* context, int port)
{
    int s = ConnectTo(port);
    if (s < 0)
        return "";
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, s);
    SSL_set1_host(ssl, "localhost");
    std::string answer;
    const std::string request =
        "GET /kvc3/api/status?profileid=p1 HTTP/1.1\r\nHost: localhost\r\nOrigin: " + kOrigin + "\r\n\r\n";
    if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
        char buffer[4096];
        int n;
        while (answer.find("\r\n") == std::string::npos && (n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
    }
    SSL_free(ssl);
    close(s);
    return answer.substr(0, answer.find("\r\n"));
}

// The local-server port extension's value for `port`: a DER INTEGER of the
// fewest bytes, with a leading zero when the high bit is set.
std::string PortExtension(int port)
{
    char text[40];
    if (port < 0x8000)
        snprintf(text, sizeof text, "DER:02:02:%02X:%02X", port >> 8, port & 0xFF);
    else
        snprintf(text, sizeof text, "DER:02:03:00:%02X:%02X", port >> 8, port & 0xFF);
    return text;
}

// An identity for "localhost" and 127.0.0.1 issued by the enrolment server's
// test CA, its port in the local-server extension: "<folder>/issued.p12"
// with the issuing certificate beside it, empty password.
bool MakeIssuedIdentity(const EnrolServer& server, const std::string& folder, int port)
{
    const std::string d = folder + "/issued";
    {
        std::ofstream ext(d + ".ext");
        ext << "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
               "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
               "1.3.6.1.4.1.32473.2.5.2="
            << PortExtension(port) << "\n";
    }
    return RunProgram({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", d + ".key", "-out",
                       d + ".csr", "-subj", "/CN=localhost"},
                      {})
               == 0
           && RunProgram({"openssl", "x509", "-req", "-in", d + ".csr", "-CA", server.File("inter"), "-CAkey",
                          server.File("inter.key"), "-set_serial", "77", "-days", "2", "-extfile", d + ".ext", "-out",
                          d + ".pem"},
                         {})
                  == 0
           && RunProgram({"openssl", "pkcs12", "-export", "-inkey", d + ".key", "-in", d + ".pem", "-certfile",
                          server.File("inter"), "-passout", "pass:", "-out", d + ".p12"},
                         {})
                  == 0;
}

class WebAdapterTest : public ServiceTest {
protected:
    static void SetUpTestSuite()
    {
        // A client writing on a connection the server closed gets an error,
        // not the signal.
        signal(SIGPIPE, SIG_IGN);
        s_dir = new TempFolder("webadapter");
        ASSERT_TRUE(MakeLocalhostIdentity(s_dir->path()));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }

    void SetUp() override
    {
        ServiceTest::SetUp();
        FacadeDouble::Reset();
        {
            std::lock_guard<std::mutex> lock(s_profile.lock);
            s_profile.hasIdentity = true;
            s_profile.port = FreeLoopbackPort();
            s_profile.delayMs = 0;
            s_profile.enrolments = 0;
        }
        UseIdentity(s_dir->path() + "/id.p12");
    }
    void TearDown() override
    {
        for (const std::string& image : m_images)
            ZELK_ApiCast<SEC_IO_TABLE>(s_io)->mem_unreg(image.c_str());
        ServiceTest::TearDown();
    }

    // The profile's identity becomes the PKCS#12 file at `path` (empty password).
    void UseIdentity(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::string image(std::istreambuf_iterator<char>(in), {});
        const auto* io = ZELK_ApiCast<SEC_IO_TABLE>(s_io);
        ASSERT_NE(io, nullptr);
        ASSERT_FALSE(image.empty()) << path;
        OctetString data {image.size(), reinterpret_cast<unsigned char*>(image.data())};
        char* name = nullptr;
        ASSERT_EQ(io->mem_reg(nullptr, &data, &name), S_OK);
        m_images.push_back(name);
        std::free(name);
        std::lock_guard<std::mutex> lock(s_profile.lock);
        s_profile.image = m_images.back();
    }

    // A new test factory; the class identifier answers the object itself.
    static CTLSConnectionFactory* NewFactory()
    {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(
            CTLSConnectionFactory::NewOf<TestFactory>(IID_CTLSConnectionFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
        return static_cast<CTLSConnectionFactory*>(factory);
    }
    static void Release(CTLSConnectionFactory* factory) { static_cast<IClassFactory*>(factory)->Release(); }

    // curl's answer (headers and body) and the HTTP version it spoke.
    std::string Curl(std::vector<std::string> options, const std::string& path = "/kvc3/api/status?profileid=p1")
    {
        std::vector<std::string> args {"curl",       "-s",
                                       "-D",         "-",
                                       "--max-time", "60",
                                       "--cacert",   s_dir->path() + "/cert.pem",
                                       "-w",         "|%{http_version}"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("https://localhost:" + std::to_string(s_profile.port) + path);
        std::string output;
        RunProgram(args, {}, &output);
        return output;
    }

    // openssl s_client's output and error output with `input` on its input.
    std::string SClient(const std::string& options, const std::string& input = "")
    {
        std::string command = "printf '" + input
                              + "' | timeout 60 openssl s_client -connect 127.0.0.1:" + std::to_string(s_profile.port)
                              + " -CAfile " + s_dir->path() + "/cert.pem " + options + " 2>&1";
        std::string output;
        RunProgram({"sh", "-c", command}, {}, &output);
        return output;
    }

    static inline TempFolder* s_dir = nullptr;
    std::vector<std::string> m_images;
};

TEST_F(WebAdapterTest, FactoryRefusesWithoutAProfileUntilARetrySucceeds)
{
    s_profile.hasIdentity = false;
    CTLSConnectionFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->CreateInstance(), E_FAIL);
    SECAttribute port {};
    port.id = ATTR_LOCAL_PORT;
    EXPECT_EQ(factory->GetProperties(&port), S_OK);
    long value = 0;
    EXPECT_TRUE(ZELK_AttrGetInteger(&port, ATTR_LOCAL_PORT, &value));
    EXPECT_EQ(value, -1);
    ITunnel* tunnel = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&tunnel)), E_FAIL);
    EXPECT_EQ(tunnel, nullptr);

    s_profile.hasIdentity = true;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&tunnel)), S_OK);
    ASSERT_NE(tunnel, nullptr);
    tunnel->Release();
    EXPECT_EQ(factory->CreateInstance(), S_OK);
    EXPECT_EQ(factory->GetProperties(&port), S_OK);
    EXPECT_TRUE(ZELK_AttrGetInteger(&port, ATTR_LOCAL_PORT, &value));
    EXPECT_EQ(value, s_profile.port);
    EXPECT_EQ(s_profile.enrolments, 3);
    Release(factory);
}

TEST_F(WebAdapterTest, FirstConnectionsAtOnceConfigureOnce)
{
    s_profile.hasIdentity = false;
    CTLSConnectionFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    {
        std::lock_guard<std::mutex> lock(s_profile.lock);
        s_profile.hasIdentity = true;
        s_profile.delayMs = 500;
        s_profile.enrolments = 0;
    }
    std::atomic<int> ready {0};
    std::atomic<int> answered {0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 32; ++i) {
        threads.emplace_back([&] {
            ++ready;
            while (ready < 32)
                std::this_thread::yield();
            ITunnel* tunnel = nullptr;
            if (factory->CreateInstance(nullptr, IID_ITunnel, reinterpret_cast<void**>(&tunnel)) == S_OK) {
                ++answered;
                tunnel->Release();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(answered, 32);
    EXPECT_EQ(s_profile.enrolments, 1);
    Release(factory);
}

TEST_F(WebAdapterTest, FactoryKeepsTheApiFactoryUntilItIsDisconnected)
{
    CTLSConnectionFactory* factory = NewFactory();
    ASSERT_NE(factory, nullptr);
    IClassFactory* api = nullptr;
    ASSERT_EQ(
        ZELK_CreateObject("zelk", "zelk.webclient.api.factory", IID_IClassFactory, reinterpret_cast<void**>(&api)),
        S_OK);
    EXPECT_EQ(factory->Connect(api), S_OK);
    EXPECT_EQ(factory->Disconnect(static_cast<IClassFactory*>(factory)), E_FAIL);
    EXPECT_EQ(factory->Disconnect(api), S_OK);
    EXPECT_EQ(factory->Connect(api), S_OK);
    EXPECT_EQ(factory->Disconnect(nullptr), E_FAIL);
    EXPECT_EQ(factory->Disconnect(api), E_FAIL);
    EXPECT_EQ(factory->LockServer(true), E_NOTIMPL);
    EXPECT_FALSE(factory->CloseAfterTransact());
    api->Release();
    Release(factory);
}

TEST_F(WebAdapterTest, CurlReadsTheApiOverTls12And13)
{
    CWebAdapterService service;
    ASSERT_EQ(service.Start(), S_OK);
    for (const char* version : {"--tlsv1.2 --tls-max 1.2", "--tlsv1.3", "--http2"}) {
        SCOPED_TRACE(version);
        std::vector<std::string> options {"-H", "Origin: " + kOrigin};
        std::string v(version);
        for (size_t start = 0, end; start < v.size(); start = end + 1) {
            end = v.find(' ', start);
            if (end == std::string::npos)
                end = v.size();
            options.push_back(v.substr(start, end - start));
        }
        std::string answer = Curl(options);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("Access-Control-Allow-Origin: " + kOrigin + "\r\n"), std::string::npos);
        EXPECT_NE(answer.find("Access-Control-Max-Age: 0\r\n"), std::string::npos);
        EXPECT_NE(answer.find("\"LOGGED_IN\""), std::string::npos);
        EXPECT_EQ(answer.substr(answer.rfind('|')), "|1.1");
    }
    for (const std::string& origin : {std::string("https://other.test:8443"), std::string("http://enrol.test:8443"),
                                      std::string("https://enrol.test:9443")}) {
        SCOPED_TRACE(origin);
        FacadeDouble::Reset();
        std::string answer = Curl(
            {"-H", "Origin: " + origin, "-X", "POST", "-H", "Content-Type: text/plain", "-d", "{\"profileid\":\"p1\"}"},
            "/kvc3/api/login");
        EXPECT_EQ(answer.rfind("HTTP/1.1 403", 0), 0u) << answer;
        EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos);
        EXPECT_EQ(FacadeDouble::Calls(), std::vector<std::string> {"checkOrigin " + origin});
    }
    EXPECT_EQ(service.Stop(), S_OK);
    EXPECT_FALSE(Listening(s_profile.port));
}

TEST_F(WebAdapterTest, OpenSslSeesNoOldTlsNoH2AndResumedSessions)
{
    CWebAdapterService service;
    ASSERT_EQ(service.Start(), S_OK);
    std::string old = SClient("-tls1_1 -cipher DEFAULT:@SECLEVEL=0");
    EXPECT_NE(old.find("Cipher is (NONE)"), std::string::npos) << old;
    EXPECT_NE(old.find("alert protocol version"), std::string::npos) << old;

    std::string h2 = SClient("-tls1_3 -alpn h2");
    EXPECT_NE(h2.find("No ALPN negotiated"), std::string::npos) << h2;
    std::string both = SClient("-tls1_2 -alpn h2,http/1.1");
    EXPECT_NE(both.find("ALPN protocol: http/1.1"), std::string::npos) << both;

    std::string resumed = SClient("-tls1_2 -reconnect");
    EXPECT_NE(resumed.find("Reused, TLSv1.2"), std::string::npos) << resumed;

    // A renegotiation is refused; the server still answers on other connections.
    std::string renegotiation = SClient("-tls1_2", "R\\n");
    EXPECT_NE(renegotiation.find("RENEGOTIATING"), std::string::npos) << renegotiation;
    EXPECT_NE(renegotiation.find("no renegotiation"), std::string::npos) << renegotiation;

    // Plain HTTP, an SSLv2 hello and a handshake cut halfway each end their
    // own connection only.
    EXPECT_TRUE(ClosedAfter(s_profile.port, "GET /kvc3/api/status HTTP/1.1\r\n\r\n", false));
    EXPECT_TRUE(ClosedAfter(s_profile.port,
                            std::string("\x80\x2e\x01\x00\x02\x00\x15\x00\x00\x00\x10", 11) + std::string(37, '\x01'),
                            false));
    EXPECT_TRUE(ClosedAfter(s_profile.port, std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), true));
    std::string answer = Curl({"-H", "Origin: " + kOrigin});
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
}

TEST_F(WebAdapterTest, AnswersEveryLiveRequestBesideIdleConnections)
{
    CWebAdapterService service;
    ASSERT_EQ(service.Start(), S_OK);
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i)
        idle.push_back(ConnectTo(s_profile.port));
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context, (s_dir->path() + "/cert.pem").c_str(), nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    std::atomic<int> answered {0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 200; ++i) {
        clients.emplace_back([&] {
            // While every thread is busy the server closes the connection
            // idle longest, which may be one that has not sent its hello
            // yet: such a client connects again, as a browser does.
            for (int attempt = 0; attempt < 3; ++attempt) {
                if (TlsRequest(context, s_profile.port) == "HTTP/1.1 200 OK") {
                    ++answered;
                    break;
                }
            }
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(answered, 200);
    SSL_CTX_free(context);
    for (int s : idle) {
        EXPECT_GE(s, 0);
        close(s);
    }
}

TEST_F(WebAdapterTest, StartReportsAPortInUse)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(s_profile.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(s, 1), 0);
    CWebAdapterService service;
    EXPECT_TRUE(FAILED(service.Start()));
    EXPECT_EQ(service.getErrorMessage(), L"The local server's port is used by another program.");
    close(s);
}

TEST_F(WebAdapterTest, StartWithoutAPortBindsNothing)
{
    s_profile.port = -1;
    bool defaultWasFree = !Listening(34443);
    CWebAdapterService service;
    EXPECT_EQ(service.Start(), E_FAIL);
    EXPECT_EQ(service.getErrorMessage(), L"The local server's certificate could not be used for TLS.");
    if (defaultWasFree) {
        EXPECT_FALSE(Listening(34443));
    }
}

TEST_F(WebAdapterTest, RestartsOnOnePortAndSurvivesStartRacingStop)
{
    CWebAdapterService service;
    ASSERT_EQ(service.Start(), S_OK);
    ASSERT_EQ(service.Start(), S_OK);
    EXPECT_EQ(Curl({"-H", "Origin: " + kOrigin}).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    ASSERT_EQ(service.Stop(), S_OK);
    ASSERT_EQ(service.Start(), S_OK);
    EXPECT_EQ(Curl({"-H", "Origin: " + kOrigin}).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    std::thread stopper([&] {
        for (int i = 0; i < 20; ++i)
            service.Stop();
    });
    for (int i = 0; i < 20; ++i)
        service.Start();
    stopper.join();
    ASSERT_EQ(service.Start(), S_OK);
    EXPECT_EQ(Curl({"-H", "Origin: " + kOrigin}).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

// An enrolment page in a real browser, with real chain and name checks: from
// the accepted origin it reads the API, a preflighted POST included; from
// another host, from plain HTTP or from the accepted host on another port
// every fetch is rejected and the facade sees nothing but the origin check.
TEST_F(WebAdapterTest, ChromiumPageReadsTheApiOnlyFromTheAcceptedOrigin)
{
    if (!Chromium::Available())
        GTEST_SKIP() << "chromium is not installed";
    EnrolServer pages;
    pages.ServePages(KESTRIN_WEBADAPTER_PAGES);
    std::string error;
    ASSERT_TRUE(pages.Start(error)) << error;
    TempFolder folder("webadapter-browser");
    ASSERT_TRUE(MakeIssuedIdentity(pages, folder.path(), s_profile.port));
    UseIdentity(folder.path() + "/issued.p12");
    Chromium chromium;
    ASSERT_TRUE(chromium.Trust(pages.File("root"), error)) << error;
    CWebAdapterService service;
    ASSERT_EQ(service.Start(), S_OK);

    const std::string https = std::to_string(pages.Port("good"));
    const std::string page = "/pages/api.html?port=" + std::to_string(s_profile.port);
    const std::string accepted = "https://enrol.test:" + https;
    FacadeDouble::Accept(accepted);
    std::string dom = chromium.DumpDom(accepted + page);
    EXPECT_NE(dom.find("get:200 {"), std::string::npos) << dom;
    EXPECT_NE(dom.find("\"LOGGED_IN\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("post:200 {"), std::string::npos) << dom;
    EXPECT_NE(dom.find("plain:200 {"), std::string::npos) << dom;
    EXPECT_NE(dom.find("done:yes"), std::string::npos) << dom;
    std::vector<std::string> calls = FacadeDouble::Calls();
    auto called = [&](const std::string& start) {
        for (const std::string& call : calls)
            if (call.rfind(start, 0) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(called("status " + accepted + " p1"));
    EXPECT_TRUE(called("login " + accepted + " p1"));
    EXPECT_TRUE(called("logout " + accepted + " p1"));

    struct Refused {
        std::string pageOrigin;
        std::string acceptedOrigin;
    };
    const std::string http = std::to_string(pages.Port("admin"));
    for (const Refused& refused :
         {Refused {"https://other.test:" + https, accepted}, Refused {"http://enrol.test:" + http, accepted},
          Refused {accepted, "https://enrol.test:" + std::to_string(pages.Port("admin"))}}) {
        SCOPED_TRACE(refused.pageOrigin + " beside " + refused.acceptedOrigin);
        FacadeDouble::Reset();
        FacadeDouble::Accept(refused.acceptedOrigin);
        dom = chromium.DumpDom(refused.pageOrigin + page);
        for (const char* line : {"get:rejected", "post:rejected", "plain:rejected", "done:yes"})
            EXPECT_NE(dom.find(line), std::string::npos) << line << "\n" << dom;
        for (const std::string& call : FacadeDouble::Calls())
            EXPECT_EQ(call, "checkOrigin " + refused.pageOrigin);
    }
    EXPECT_EQ(service.Stop(), S_OK);
}

}  // namespace
}  // namespace kestrin::webadapter::test

// The TLS layer of one connection: the crypto library's server connection
// over memory channels, the real API handler inside and an OpenSSL client
// outside, in one process.
#include "webadapter/tls_connection.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fstream>
#include <iterator>
#include <string>

#include "facade_double.h"
#include "qev_attributes.h"
#include "qev_io.h"
#include "qev_pse.h"
#include "service_fixture.h"
#include "test_process.h"
#include "webadapter/api_handler.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace kestrin::webadapter::test {
namespace {

using kestrin::service::test::ServiceTest;
using kestrin::testsupport::MakeLocalhostIdentity;
using kestrin::testsupport::TempFolder;
using ZELK::PSESVC::WEBCLIENT::CAPIHandler;
using ZELK::PSESVC::WEBCLIENT::CTLSConnection;

CZELK_CLASS s_facade("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, &CreateFacadeDouble);

API_COMMON* s_ssl = nullptr;
CLoadAPI s_loadSsl(nullptr, "SEC_SSL_1", &s_ssl);
API_COMMON* s_io = nullptr;
CLoadAPI s_loadIo(nullptr, "SEC_IO_1", &s_io);
API_COMMON* s_asc = nullptr;
CLoadAPI s_loadAsc(nullptr, "SEC_ASC_1", &s_asc);

const std::string kRequest = "GET /kvc3/api/status?profileid=p1 HTTP/1.1\r\nOrigin: https://enrol.test:8443\r\n\r\n";

// The answer of one Transact.
struct Answer {
    HRESULT hr;
    std::string bytes;
};

Answer Feed(ITunnel* tunnel, const std::string& bytes)
{
    unsigned long length = 8;
    auto* out = static_cast<unsigned char*>(sec_malloc(length));
    std::string in(bytes);
    HRESULT hr = tunnel->Transact(reinterpret_cast<unsigned char*>(in.data()), static_cast<unsigned long>(in.size()),
                                  &out, &length);
    Answer answer {hr, hr == S_OK ? std::string(reinterpret_cast<char*>(out), length) : ""};
    sec_free(out);
    return answer;
}

// An OpenSSL client of one version over memory channels that trusts the
// test identity.
class Client {
public:
    Client(const std::string& caFile, int version)
    {
        m_ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(m_ctx, version);
        SSL_CTX_set_max_proto_version(m_ctx, version);
        SSL_CTX_load_verify_locations(m_ctx, caFile.c_str(), nullptr);
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
        m_ssl = SSL_new(m_ctx);
        SSL_set_bio(m_ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(m_ssl);
        SSL_set1_host(m_ssl, "localhost");
    }
    ~Client()
    {
        SSL_free(m_ssl);
        SSL_CTX_free(m_ctx);
        ERR_clear_error();
    }

    SSL* ssl() const { return m_ssl; }
    // What the client has to send now.
    std::string Take()
    {
        SSL_do_handshake(m_ssl);
        std::string bytes;
        char buffer[16384];
        int n;
        while ((n = BIO_read(SSL_get_wbio(m_ssl), buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }
    void Give(const std::string& bytes)
    {
        BIO_write(SSL_get_rbio(m_ssl), bytes.data(), static_cast<int>(bytes.size()));
    }
    std::string ReadAll()
    {
        std::string text;
        char buffer[4096];
        int n;
        while ((n = SSL_read(m_ssl, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }

private:
    SSL_CTX* m_ctx;
    SSL* m_ssl;
};

class TlsConnectionTest : public ServiceTest {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempFolder("tlsconn");
        const std::string d = s_dir->path();
        ASSERT_TRUE(MakeLocalhostIdentity(d));
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
        std::ifstream in(s_dir->path() + "/id.p12", std::ios::binary);
        std::string image(std::istreambuf_iterator<char>(in), {});
        const auto* io = ZELK_ApiCast<SEC_IO_TABLE>(s_io);
        const auto* ascs = ZELK_ApiCast<SEC_ASC_TABLE>(s_asc);
        const auto* ssl = ZELK_ApiCast<SEC_SSL_TABLE>(s_ssl);
        ASSERT_TRUE(io && ascs && ssl);
        OctetString data {image.size(), reinterpret_cast<unsigned char*>(image.data())};
        char* name = nullptr;
        ASSERT_EQ(io->mem_reg(nullptr, &data, &name), S_OK);
        SECAttribute attribute {};
        attribute.id = SEC_ATTR_PSE_IMAGE;
        attribute.value = name;
        ASC* asc = nullptr;
        ASSERT_EQ(ascs->create_ASC(&asc, &attribute), S_OK);
        io->mem_unreg(name);
        std::free(name);
        ASSERT_EQ(ssl->new_context(&m_context, SSL_VERSION_TLS12_AND_LATER, SSL_MODE_SERVER), S_OK);
        m_context->SetOptions(SSL_OPTION_NO_RENEGOTIATION);
        m_context->Initialize(SSL_SETTING_SERVER_DEFAULTS);
        ASSERT_EQ(m_context->UseSecurityContext(asc, 0), S_OK);
        asc->Release();
    }
    void TearDown() override
    {
        if (m_context != nullptr)
            m_context->Release();
        ServiceTest::TearDown();
    }

    // A TLS connection with a new API handler inside.
    ITunnel* NewTunnel()
    {
        ssl_connection* connection = nullptr;
        EXPECT_EQ(m_context->NewConnection(&connection), S_OK);
        ITunnel* tunnel = nullptr;
        EXPECT_EQ(CTLSConnection::New(connection, IID_ITunnel, reinterpret_cast<void**>(&tunnel)), S_OK);
        ITunnel* handler = nullptr;
        EXPECT_EQ(CFactoryImpl<CAPIHandler>::New(IID_ITunnel, reinterpret_cast<void**>(&handler)), S_OK);
        ITunnelSource* source = nullptr;
        EXPECT_EQ(tunnel->QueryInterface(IID_ITunnelSource, reinterpret_cast<void**>(&source)), S_OK);
        EXPECT_EQ(source->Connect(handler), S_OK);
        source->Release();
        handler->Release();
        return tunnel;
    }

    // Runs the handshake with whole flights; false when it does not finish.
    static bool Handshake(ITunnel* tunnel, Client& client)
    {
        for (int i = 0; i < 6 && SSL_is_init_finished(client.ssl()) != 1; ++i) {
            Answer a = Feed(tunnel, client.Take());
            if (a.hr != S_OK)
                return false;
            client.Give(a.bytes);
        }
        client.Take();
        return SSL_is_init_finished(client.ssl()) == 1;
    }

    std::string CaFile() const { return s_dir->path() + "/cert.pem"; }

    static inline TempFolder* s_dir = nullptr;
    ssl_context* m_context = nullptr;
};

TEST_F(TlsConnectionTest, AnswersARequestWithTheStreamCutAtEveryByte)
{
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        ITunnel* tunnel = NewTunnel();
        Client client(CaFile(), version);
        std::string received;
        bool requested = false;
        for (int round = 0; round < 8 && received.empty(); ++round) {
            std::string flight = client.Take();
            if (SSL_is_init_finished(client.ssl()) == 1 && !requested) {
                ASSERT_EQ(SSL_write(client.ssl(), kRequest.data(), static_cast<int>(kRequest.size())),
                          static_cast<int>(kRequest.size()));
                flight += client.Take();
                requested = true;
            }
            for (char byte : flight) {
                Answer a = Feed(tunnel, std::string(1, byte));
                ASSERT_TRUE(a.hr == S_OK || a.hr == 1) << a.hr;
                client.Give(a.bytes);
            }
            received += client.ReadAll();
        }
        EXPECT_EQ(received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << received;
        EXPECT_NE(received.find("\"LOGGED_IN\""), std::string::npos);
        tunnel->Release();
    }
}

TEST_F(TlsConnectionTest, HandshakeAloneDoesNotReachTheHandler)
{
    ITunnel* tunnel = NewTunnel();
    Client client(CaFile(), TLS1_3_VERSION);
    Answer hello = Feed(tunnel, client.Take());
    EXPECT_EQ(hello.hr, S_OK);
    EXPECT_FALSE(hello.bytes.empty());
    client.Give(hello.bytes);
    // The client's Finished: the call ends the handshake and sends the tickets.
    Answer finished = Feed(tunnel, client.Take());
    EXPECT_EQ(finished.hr, S_OK);
    EXPECT_EQ(SSL_is_init_finished(client.ssl()), 1);
    EXPECT_TRUE(FacadeDouble::Calls().empty());
    tunnel->Release();
}

TEST_F(TlsConnectionTest, IncompleteRequestStillSendsWhatTheEngineQueued)
{
    ITunnel* tunnel = NewTunnel();
    Client client(CaFile(), TLS1_3_VERSION);
    Answer hello = Feed(tunnel, client.Take());
    ASSERT_EQ(hello.hr, S_OK);
    client.Give(hello.bytes);
    // The client's Finished and the first half of a request in one flight:
    // the session tickets the Finished releases go out although the request
    // waits for its rest.
    std::string flight = client.Take();
    ASSERT_EQ(SSL_write(client.ssl(), kRequest.data(), 20), 20);
    flight += client.Take();
    Answer tickets = Feed(tunnel, flight);
    EXPECT_EQ(tickets.hr, S_OK);
    EXPECT_FALSE(tickets.bytes.empty());
    client.Give(tickets.bytes);
    ASSERT_EQ(SSL_write(client.ssl(), kRequest.data() + 20, static_cast<int>(kRequest.size() - 20)),
              static_cast<int>(kRequest.size() - 20));
    Answer response = Feed(tunnel, client.Take());
    ASSERT_EQ(response.hr, S_OK);
    client.Give(response.bytes);
    EXPECT_EQ(client.ReadAll().rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_NE(SSL_SESSION_is_resumable(SSL_get0_session(client.ssl())), 0);
    tunnel->Release();
}

TEST_F(TlsConnectionTest, LargeBodyArrivesInSixteenKiBReads)
{
    ITunnel* tunnel = NewTunnel();
    Client client(CaFile(), TLS1_2_VERSION);
    ASSERT_TRUE(Handshake(tunnel, client));
    std::string body = R"({"profileid":"p1","pad":")" + std::string(0x100000 - 40, 'x') + "\"}";
    std::string request = "POST /kvc3/api/login HTTP/1.1\r\nOrigin: https://enrol.test:8443\r\nContent-Length: "
                          + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t off = 0; off < request.size(); off += 16384)
        SSL_write(client.ssl(), request.data() + off, static_cast<int>(std::min<size_t>(16384, request.size() - off)));
    std::string flight = client.Take();
    std::string answer;
    for (size_t off = 0; off < flight.size(); off += 16384) {
        Answer a = Feed(tunnel, flight.substr(off, 16384));
        ASSERT_TRUE(a.hr == S_OK || a.hr == 1) << a.hr;
        client.Give(a.bytes);
    }
    answer = client.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 80);
    EXPECT_EQ(FacadeDouble::Calls().back(), "login https://enrol.test:8443 p1");
    tunnel->Release();
}

TEST_F(TlsConnectionTest, CloseAlertIsAnsweredAndGarbageEndsTheConnection)
{
    ITunnel* tunnel = NewTunnel();
    Client client(CaFile(), TLS1_3_VERSION);
    ASSERT_TRUE(Handshake(tunnel, client));
    CaptureTrace(1);
    ASSERT_EQ(SSL_shutdown(client.ssl()), 0);
    Answer a = Feed(tunnel, client.Take());
    EXPECT_EQ(a.hr, S_OK);
    client.Give(a.bytes);
    EXPECT_EQ(SSL_shutdown(client.ssl()), 1);
    EXPECT_EQ(CountTrace("Send TLS shutdown with state 1"), 1u);
    tunnel->Release();

    ITunnel* other = NewTunnel();
    EXPECT_EQ(Feed(other, "GET / HTTP/1.1\r\n\r\n").hr, E_FAIL);
    other->Release();
}

TEST_F(TlsConnectionTest, DisconnectKeepsTheInnerTunnelForAForeignObject)
{
    ITunnel* tunnel = NewTunnel();
    ITunnelSource* source = nullptr;
    ASSERT_EQ(tunnel->QueryInterface(IID_ITunnelSource, reinterpret_cast<void**>(&source)), S_OK);
    ITunnel* foreign = nullptr;
    ASSERT_EQ(CFactoryImpl<CAPIHandler>::New(IID_ITunnel, reinterpret_cast<void**>(&foreign)), S_OK);
    EXPECT_EQ(source->Disconnect(foreign), E_FAIL);
    EXPECT_EQ(source->Disconnect(nullptr), E_FAIL);
    Client client(CaFile(), TLS1_3_VERSION);
    ASSERT_TRUE(Handshake(tunnel, client));
    SSL_write(client.ssl(), kRequest.data(), static_cast<int>(kRequest.size()));
    Answer a = Feed(tunnel, client.Take());
    ASSERT_EQ(a.hr, S_OK);
    client.Give(a.bytes);
    EXPECT_EQ(client.ReadAll().rfind("HTTP/1.1 200 OK", 0), 0u);
    foreign->Release();
    source->Release();
    tunnel->Release();
}

}  // namespace
}  // namespace kestrin::webadapter::test

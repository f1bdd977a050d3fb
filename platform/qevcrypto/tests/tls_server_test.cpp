// The server side of TLS over memory channels ("SEC_SSL_1" slot 2 and the
// context's and connection's slots, "SEC_BIO_1" slot 5) against an OpenSSL
// client in the same process.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qev_attributes.h"
#include "qev_bio.h"
#include "qev_fixture.h"
#include "qev_io.h"
#include "qev_pse.h"
#include "qev_ssl.h"
#include "test_process.h"

namespace {

using kestrin::testsupport::MakeLocalhostIdentity;
using kestrin::testsupport::TempFolder;

class TlsServer : public QevLibrary {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempFolder("tls");
        const std::string d = s_dir->path();
        ASSERT_TRUE(MakeLocalhostIdentity(d));
        std::ifstream in(d + "/id.p12", std::ios::binary);
        s_image = std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }

    void SetUp() override
    {
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_SSL_1", &table), S_OK);
        ssl = ZELK_ApiCast<SEC_SSL_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_BIO_1", &table), S_OK);
        bios = ZELK_ApiCast<SEC_BIO_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_IO_1", &table), S_OK);
        io = ZELK_ApiCast<SEC_IO_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
        ascs = ZELK_ApiCast<SEC_ASC_TABLE>(table);
    }

    // A server context configured as the web adapter does it.
    ssl_context* Server(unsigned long options = SSL_OPTION_NO_RENEGOTIATION)
    {
        ssl_context* context = nullptr;
        EXPECT_EQ(ssl->new_context(&context, SSL_VERSION_TLS12_AND_LATER, SSL_MODE_SERVER), S_OK);
        if (context == nullptr)
            return nullptr;
        EXPECT_EQ(context->SetOptions(options), S_OK);
        EXPECT_EQ(context->Initialize(SSL_SETTING_SERVER_DEFAULTS), S_OK);
        OctetString data {s_image.size(), reinterpret_cast<unsigned char*>(s_image.data())};
        char* name = nullptr;
        EXPECT_EQ(io->mem_reg(nullptr, &data, &name), S_OK);
        SECAttribute attribute {};
        attribute.id = SEC_ATTR_PSE_IMAGE;
        attribute.value = name;
        ASC* asc = nullptr;
        EXPECT_EQ(ascs->create_ASC(&asc, &attribute), S_OK);
        EXPECT_EQ(io->mem_unreg(name), S_OK);
        std::free(name);
        if (asc != nullptr) {
            EXPECT_EQ(context->UseSecurityContext(asc, 0), S_OK);
            asc->Release();
        }
        return context;
    }

    // One server connection over two memory channels and an OpenSSL client
    // with its own memory channels.
    struct Pair {
        ssl_connection* server = nullptr;
        bio* in = nullptr;
        bio* out = nullptr;
        SSL_CTX* clientCtx = nullptr;
        SSL* client = nullptr;

        ~Pair()
        {
            SSL_free(client);
            SSL_CTX_free(clientCtx);
            if (server != nullptr)
                server->Release();
            if (in != nullptr)
                in->Release();
            if (out != nullptr)
                out->Release();
        }
        // Moves every waiting byte between the two ends, `rounds` times.
        void Pump(int rounds = 8)
        {
            char buffer[4096];
            for (int i = 0; i < rounds; ++i) {
                SSL_do_handshake(client);
                int n;
                while ((n = BIO_read(SSL_get_wbio(client), buffer, sizeof buffer)) > 0)
                    in->Write(buffer, n);
                char plain[256];
                server->GetErrorState(lastRead = server->Read(plain, sizeof plain), 0, &serverState);
                if (lastRead > 0)
                    serverRead += std::string(plain, lastRead);
                while ((n = out->Read(buffer, sizeof buffer)) > 0)
                    BIO_write(SSL_get_rbio(client), buffer, n);
            }
        }
        std::string serverRead;
        int lastRead = 0;
        int serverState = -1;
    };

    void Connect(ssl_context* context, Pair& p, int version, const std::vector<unsigned char>& alpn = {})
    {
        ASSERT_EQ(bios->new_bio(&p.in, BIO_TYPE_MEMORY), S_OK);
        ASSERT_EQ(bios->new_bio(&p.out, BIO_TYPE_MEMORY), S_OK);
        ASSERT_EQ(context->NewConnection(&p.server), S_OK);
        ASSERT_EQ(p.server->SetBIOs(p.in, p.out), S_OK);
        p.clientCtx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(p.clientCtx, version);
        SSL_CTX_set_max_proto_version(p.clientCtx, version);
        SSL_CTX_set_security_level(p.clientCtx, 0);
        ASSERT_EQ(SSL_CTX_load_verify_locations(p.clientCtx, (s_dir->path() + "/cert.pem").c_str(), nullptr), 1);
        SSL_CTX_set_verify(p.clientCtx, SSL_VERIFY_PEER, nullptr);
        p.client = SSL_new(p.clientCtx);
        SSL_set_bio(p.client, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(p.client);
        SSL_set1_host(p.client, "localhost");
        if (!alpn.empty())
            SSL_set_alpn_protos(p.client, alpn.data(), static_cast<unsigned int>(alpn.size()));
    }

    static inline TempFolder* s_dir = nullptr;
    static inline std::string s_image;
    const SEC_SSL_TABLE* ssl = nullptr;
    const SEC_BIO_TABLE* bios = nullptr;
    const SEC_IO_TABLE* io = nullptr;
    const SEC_ASC_TABLE* ascs = nullptr;
};

TEST_F(TlsServer, TablesMakeServerContextsAndMemoryChannelsOnly)
{
    ssl_context* context = nullptr;
    EXPECT_EQ(ssl->new_context(&context, 0x301, SSL_MODE_SERVER), E_INVALIDARG);
    EXPECT_EQ(ssl->new_context(&context, SSL_VERSION_TLS12_AND_LATER, 1), E_INVALIDARG);
    EXPECT_EQ(context, nullptr);
    ASSERT_EQ(ssl->new_context(&context, SSL_VERSION_TLS12_AND_LATER, SSL_MODE_SERVER), S_OK);
    unsigned long options = 1;
    EXPECT_EQ(context->GetOptions(&options), S_OK);
    EXPECT_EQ(options, 0u);
    EXPECT_EQ(context->SetOptions(options | SSL_OPTION_NO_RENEGOTIATION | 0x100), S_OK);
    EXPECT_EQ(context->GetOptions(&options), S_OK);
    EXPECT_EQ(options, SSL_OPTION_NO_RENEGOTIATION | 0x100);
    EXPECT_EQ(context->Initialize(7), E_INVALIDARG);
    EXPECT_EQ(context->UseSecurityContext(nullptr, 0), E_INVALIDARG);
    SECAttribute none {};
    none.id = SEC_ATTR_NO_PROVIDER;
    ASC* empty = nullptr;
    ASSERT_EQ(ascs->create_ASC(&empty, &none), S_OK);
    EXPECT_EQ(context->UseSecurityContext(empty, 0), E_FAIL);
    EXPECT_EQ(context->UseSecurityContext(empty, 1), E_INVALIDARG);
    empty->Release();
    context->Release();

    bio* channel = nullptr;
    EXPECT_EQ(bios->new_bio(&channel, 1034), E_INVALIDARG);
    ASSERT_EQ(bios->new_bio(&channel, BIO_TYPE_MEMORY), S_OK);
    char buffer[8];
    EXPECT_LE(channel->Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(channel->Write("abcde", 5), 5);
    unsigned long pending = 0;
    EXPECT_EQ(channel->Pending(&pending), S_OK);
    EXPECT_EQ(pending, 5u);
    EXPECT_EQ(channel->Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(channel->Read(buffer, sizeof buffer), 2);
    EXPECT_LE(channel->Read(buffer, sizeof buffer), 0);
    channel->Release();
}

TEST_F(TlsServer, SpeaksTls12And13WithHttp11AsItsOnlyApplicationProtocol)
{
    struct Case {
        int version;
        std::vector<unsigned char> alpn;
        const char* selected;
    };
    const std::vector<unsigned char> both = {2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    const std::vector<unsigned char> h2 = {2, 'h', '2'};
    const Case cases[] = {
        {TLS1_2_VERSION, both, "http/1.1"},
        {TLS1_3_VERSION, both, "http/1.1"},
        {TLS1_3_VERSION, h2, ""},
        {TLS1_2_VERSION, {}, ""},
    };
    ssl_context* context = Server();
    ASSERT_NE(context, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        Pair p;
        Connect(context, p, c.version, c.alpn);
        p.Pump();
        ASSERT_EQ(SSL_is_init_finished(p.client), 1);
        EXPECT_EQ(SSL_version(p.client), c.version);
        EXPECT_EQ(p.serverState, SSL_STATE_WANTS_INPUT);
        const unsigned char* selected = nullptr;
        unsigned int length = 0;
        SSL_get0_alpn_selected(p.client, &selected, &length);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(selected), length), c.selected);
        if (c.version == TLS1_2_VERSION) {
            const SSL_CIPHER* cipher = SSL_get_current_cipher(p.client);
            EXPECT_EQ(SSL_CIPHER_get_kx_nid(cipher), NID_kx_ecdhe);
            EXPECT_EQ(SSL_CIPHER_is_aead(cipher), 1);
        }
        ASSERT_EQ(SSL_write(p.client, "GET / HTTP/1.1\r\n\r\n", 18), 18);
        p.Pump(2);
        EXPECT_EQ(p.serverRead, "GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(p.server->Write("HTTP/1.1 200 OK\r\n\r\n", 19), 19);
        p.Pump(1);
        char reply[64];
        int n = SSL_read(p.client, reply, sizeof reply);
        EXPECT_EQ(std::string(reply, std::max(n, 0)), "HTTP/1.1 200 OK\r\n\r\n");
    }
    context->Release();
}

TEST_F(TlsServer, CloseAlertIsReportedAndAnsweredWhileTheConnectionOutlivesItsContext)
{
    ssl_context* context = Server();
    ASSERT_NE(context, nullptr);
    Pair p;
    Connect(context, p, TLS1_3_VERSION);
    context->Release();
    p.Pump();
    ASSERT_EQ(SSL_is_init_finished(p.client), 1);
    EXPECT_EQ(SSL_shutdown(p.client), 0);
    p.Pump(1);
    EXPECT_EQ(p.lastRead, 0);
    EXPECT_EQ(p.serverState, SSL_STATE_CLOSE_NOTIFY);
    int state = -1;
    EXPECT_EQ(p.server->Shutdown(&state), S_OK);
    EXPECT_EQ(state, 1);
    p.Pump(1);
    EXPECT_EQ(SSL_shutdown(p.client), 1);
}

TEST_F(TlsServer, OlderVersionsRenegotiationAndGarbageEndTheConnection)
{
    ssl_context* context = Server();
    ASSERT_NE(context, nullptr);
    {
        Pair p;
        Connect(context, p, TLS1_1_VERSION);
        p.Pump();
        EXPECT_NE(SSL_is_init_finished(p.client), 1);
        EXPECT_EQ(p.serverState, SSL_STATE_FATAL);
    }
    {
        Pair p;
        Connect(context, p, TLS1_2_VERSION);
        p.Pump();
        ASSERT_EQ(SSL_is_init_finished(p.client), 1);
        ASSERT_EQ(SSL_renegotiate(p.client), 1);
        p.Pump();
        char byte;
        EXPECT_LE(SSL_read(p.client, &byte, 1), 0);
        EXPECT_NE(SSL_renegotiate_pending(p.client), 0);
        ERR_clear_error();
    }
    {
        Pair p;
        Connect(context, p, TLS1_3_VERSION);
        const char garbage[] = "GET / HTTP/1.1\r\n\r\n";
        p.in->Write(garbage, sizeof garbage - 1);
        char plain[16];
        int n = p.server->Read(plain, sizeof plain);
        int state = -1;
        EXPECT_EQ(p.server->GetErrorState(n, n, &state), S_OK);
        EXPECT_EQ(state, SSL_STATE_FATAL);
    }
    context->Release();
}

}  // namespace

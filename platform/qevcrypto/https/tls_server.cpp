#include "tls_server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>
#include <mutex>
#include <new>

#include "asc_object.h"
#include "https_counted.h"

namespace kestrin::qevcrypto::https {

namespace {

constexpr unsigned char kAlpnHttp11[] = "\x08http/1.1";
constexpr unsigned char kSessionContext[] = "kestrin.webadapter";

class MemoryBio final : public Counted<bio> {
public:
    explicit MemoryBio(BIO* native) : m_bio(native) {}
    ~MemoryBio() { BIO_free(m_bio); }

    const char* getType() override { return "bio"; }
    HRESULT Pending(unsigned long* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = static_cast<unsigned long>(BIO_ctrl_pending(m_bio));
        return S_OK;
    }
    int Read(void* buffer, int count) override
    {
        if (buffer == nullptr || count <= 0)
            return -1;
        return BIO_read(m_bio, buffer, count);
    }
    int Write(const void* buffer, int count) override
    {
        if (buffer == nullptr || count < 0)
            return -1;
        if (count == 0)
            return 0;
        return BIO_write(m_bio, buffer, count);
    }

    BIO* Native() const { return m_bio; }

private:
    BIO* m_bio;
};

class ServerConnection final : public Counted<ssl_connection> {
public:
    ServerConnection(ssl_context* context, SSL* ssl) : m_context(context), m_ssl(ssl)
    {
        m_context->AddRef();
        SSL_set_accept_state(m_ssl);
    }
    ~ServerConnection()
    {
        SSL_free(m_ssl);
        if (m_in != nullptr)
            m_in->Release();
        if (m_out != nullptr)
            m_out->Release();
        m_context->Release();
    }

    const char* getType() override { return "ssl_connection"; }

    int Read(void* buffer, int room) override
    {
        if (buffer == nullptr || room <= 0)
            return -1;
        ERR_clear_error();
        int n = SSL_read(m_ssl, buffer, room);
        Remember(n);
        return n;
    }
    int Write(const void* buffer, int length) override
    {
        if (buffer == nullptr || length <= 0)
            return -1;
        ERR_clear_error();
        int n = SSL_write(m_ssl, buffer, length);
        Remember(n);
        return n;
    }
    HRESULT SetBIOs(bio* in, bio* out) override
    {
        auto* input = dynamic_cast<MemoryBio*>(in);
        auto* output = dynamic_cast<MemoryBio*>(out);
        if (input == nullptr || output == nullptr || input == output || m_in != nullptr)
            return E_INVALIDARG;
        BIO_up_ref(input->Native());
        BIO_up_ref(output->Native());
        SSL_set_bio(m_ssl, input->Native(), output->Native());
        input->AddRef();
        output->AddRef();
        m_in = input;
        m_out = output;
        return S_OK;
    }
    HRESULT Shutdown(int* state) override
    {
        ERR_clear_error();
        int r = SSL_shutdown(m_ssl);
        ERR_clear_error();
        if (state != nullptr)
            *state = r == 1 ? 1 : 0;
        return r < 0 ? E_FAIL : S_OK;
    }
    HRESULT GetErrorState(int result, int, int* state) override
    {
        if (state == nullptr)
            return E_POINTER;
        *state = result == m_lastResult ? m_lastState : SSL_STATE_NONE;
        return S_OK;
    }

private:
    // The state of the last read or write, taken while OpenSSL's error queue
    // still describes it; the queue is left empty for the thread's next user.
    void Remember(int result)
    {
        m_lastResult = result;
        switch (result > 0 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, result)) {
        case SSL_ERROR_NONE:
            m_lastState = SSL_STATE_NONE;
            break;
        case SSL_ERROR_ZERO_RETURN:
            m_lastState = SSL_STATE_CLOSE_NOTIFY;
            break;
        case SSL_ERROR_WANT_READ:
            m_lastState = SSL_STATE_WANTS_INPUT;
            break;
        case SSL_ERROR_WANT_WRITE:
            m_lastState = SSL_STATE_WANTS_OUTPUT;
            break;
        default:
            m_lastState = SSL_STATE_FATAL;
            break;
        }
        ERR_clear_error();
    }

    ssl_context* m_context;
    SSL* m_ssl;
    MemoryBio* m_in = nullptr;
    MemoryBio* m_out = nullptr;
    int m_lastResult = 1;
    int m_lastState = SSL_STATE_NONE;
};

// "http/1.1" when the client offers it; otherwise no ALPN at all, so an
// h2-only client never hears of h2.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*)
{
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kAlpnHttp11, sizeof(kAlpnHttp11) - 1, in, inLength)
        != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

class ServerContext final : public Counted<ssl_context> {
public:
    explicit ServerContext(SSL_CTX* ctx) : m_ctx(ctx) {}
    ~ServerContext() { SSL_CTX_free(m_ctx); }

    const char* getType() override { return "ssl_context"; }

    HRESULT GetOptions(unsigned long* options) override
    {
        if (options == nullptr)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        *options = m_options;
        return S_OK;
    }
    HRESULT SetOptions(unsigned long options) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_options = options;
        if (options & SSL_OPTION_NO_RENEGOTIATION)
            SSL_CTX_set_options(m_ctx, SSL_OP_NO_RENEGOTIATION);
        else
            SSL_CTX_clear_options(m_ctx, SSL_OP_NO_RENEGOTIATION);
        return S_OK;
    }
    HRESULT Initialize(unsigned int setting) override
    {
        if (setting != SSL_SETTING_SERVER_DEFAULTS)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_lock);
        SSL_CTX_set_options(m_ctx, SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
        if (SSL_CTX_set_cipher_list(m_ctx, "ECDHE+AESGCM:ECDHE+CHACHA20") != 1
            || SSL_CTX_set_session_id_context(m_ctx, kSessionContext, sizeof(kSessionContext) - 1) != 1) {
            ERR_clear_error();
            return E_FAIL;
        }
        SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_SERVER);
        SSL_CTX_clear_options(m_ctx, SSL_OP_NO_TICKET);
        SSL_CTX_set_alpn_select_cb(m_ctx, &SelectAlpn, nullptr);
        return S_OK;
    }
    HRESULT UseSecurityContext(ASC* asc, int flags) override
    {
        auto* context = dynamic_cast<AscObject*>(asc);
        if (context == nullptr || flags != 0)
            return E_INVALIDARG;
        std::shared_ptr<const ClientIdentity> identity = context->Credentials().identity;
        if (!identity || !identity->key || !identity->certificate)
            return E_FAIL;
        std::lock_guard<std::mutex> lock(m_lock);
        bool ok = SSL_CTX_use_certificate(m_ctx, identity->certificate.get()) == 1
                  && SSL_CTX_use_PrivateKey(m_ctx, identity->key.get()) == 1 && SSL_CTX_check_private_key(m_ctx) == 1
                  && SSL_CTX_clear_chain_certs(m_ctx) == 1;
        for (size_t i = 0; ok && i < identity->chain.size(); ++i)
            ok = SSL_CTX_add1_chain_cert(m_ctx, identity->chain[i].get()) == 1;
        ERR_clear_error();
        return ok ? S_OK : E_FAIL;
    }
    HRESULT NewConnection(ssl_connection** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        SSL* ssl;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ssl = SSL_new(m_ctx);
        }
        if (ssl == nullptr) {
            ERR_clear_error();
            return E_OUTOFMEMORY;
        }
        *out = new (std::nothrow) ServerConnection(this, ssl);
        if (*out == nullptr) {
            SSL_free(ssl);
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    // Configuration changes and new connections do not overlap.
    std::mutex m_lock;
    SSL_CTX* m_ctx;
    unsigned long m_options = 0;
};

}  // namespace

HRESULT CreateServerContext(unsigned int version, unsigned int mode, ssl_context** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (version != SSL_VERSION_TLS12_AND_LATER || mode != SSL_MODE_SERVER)
        return E_INVALIDARG;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1
        || SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return E_FAIL;
    }
    *out = new (std::nothrow) ServerContext(ctx);
    if (*out == nullptr) {
        SSL_CTX_free(ctx);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CreateBio(unsigned int type, bio** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (type != BIO_TYPE_MEMORY)
        return E_INVALIDARG;
    BIO* native = BIO_new(BIO_s_mem());
    if (native == nullptr)
        return E_OUTOFMEMORY;
    // An empty channel asks the reader to retry instead of reporting its end.
    BIO_set_mem_eof_return(native, -1);
    *out = new (std::nothrow) MemoryBio(native);
    if (*out == nullptr) {
        BIO_free(native);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace kestrin::qevcrypto::https

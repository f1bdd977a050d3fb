// The URL context and the TLS context that a security context hands out.
#include "asc_object.h"
#include "https_api.h"
#include "https_connection.h"
#include "types_value_lists.h"

namespace kestrin::qevcrypto::https {

namespace {

// The trusted list of the context's PSE and the context's own anchors, as
// OpenSSL certificates.
std::vector<ossl::X509Ptr> TrustedList(ASC* asc)
{
    std::vector<ossl::X509Ptr> out;
    if (auto* own = dynamic_cast<AscObject*>(asc))
        for (const ossl::X509Ptr& anchor : own->Credentials().anchors)
            if (X509_up_ref(anchor.get()) == 1)
                out.emplace_back(anchor.get());
    PSE* pse = nullptr;
    if (asc == nullptr || FAILED(asc->getPSE(&pse)) || pse == nullptr)
        return out;
    SET_OF_Certificate* list = nullptr;
    if (SUCCEEDED(pse->getTrustedCertList(&list)))
        for (SET_OF_Certificate* node = list; node != nullptr; node = node->next)
            if (X509* x = values::CertificateX509(node->element); x != nullptr && X509_up_ref(x) == 1)
                out.emplace_back(x);
    values::SetOfCertificate::Drop(list);
    pse->Release();
    return out;
}

class UrlContext final : public Counted<url_context> {
public:
    explicit UrlContext(ASC* asc) : m_asc(asc)
    {
        if (m_asc != nullptr)
            m_asc->AddRef();
    }
    ~UrlContext()
    {
        if (m_asc != nullptr)
            m_asc->Release();
    }
    const char* getType() override { return "url_context"; }
    HRESULT setTimeout(unsigned long seconds, unsigned long) override
    {
        m_timeout = seconds;
        return S_OK;
    }
    HRESULT createConnection(url_connection** out, unsigned long) override
    {
        if (out == nullptr)
            return E_POINTER;
        auto* own = dynamic_cast<AscObject*>(m_asc);
        *out = new (std::nothrow)
            HttpsConnection(m_timeout, TrustedList(m_asc), own != nullptr ? own->Credentials().identity : nullptr);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    ASC* m_asc;
    unsigned long m_timeout = 0;
};

class SslContext final : public Counted<ssl_context> {
public:
    const char* getType() override { return "ssl_context"; }
    HRESULT Initialize(unsigned int setting) override
    {
        return setting == SSL_SETTING_CLIENT_DEFAULTS ? S_OK : E_INVALIDARG;
    }
    HRESULT GetOptions(unsigned long* options) override
    {
        if (options == nullptr)
            return E_POINTER;
        *options = m_options;
        return S_OK;
    }
    HRESULT SetOptions(unsigned long options) override
    {
        m_options = options;
        return S_OK;
    }
    // A client context makes no server connections and takes its identity
    // from the security context that made it.
    HRESULT UseSecurityContext(ASC*, int) override { return E_NOTIMPL; }
    HRESULT NewConnection(ssl_connection**) override { return E_NOTIMPL; }

private:
    std::atomic<unsigned long> m_options {0};
};

}  // namespace

HRESULT CreateUrlContext(ASC* asc, url_context** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new (std::nothrow) UrlContext(asc);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateSslContext(ssl_context** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new (std::nothrow) SslContext();
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace kestrin::qevcrypto::https

// The library's security context (ASC): the PSE of its provider module, or
// none, and the library's own file PSE of the context, opened on first use
// and kept so that its login lasts as long as the context.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "https/https_identity.h"
#include "qev_pse.h"

namespace kestrin::qevcrypto {

class AscObject final : public ASC {
public:
    // A context whose provider is named by attribute 1 of `chain` (none: no
    // provider). The provider's "SEC_PSE_1" makes the context's PSE; its
    // failure is the result and *out stays NULL. Each attribute 847 names an
    // in-memory file holding a PSE image, opened with the password of
    // attribute 32 (none: empty): one holding a private key is the context's
    // client identity, one of certificates only adds trust anchors; an image
    // that does not open fails the creation. With images and no provider,
    // the context's PSE is a memory PSE over them. The chain stays the
    // caller's.
    static HRESULT Create(SECAttribute* chain, ASC** out);

    const https::ContextCredentials& Credentials() const { return m_credentials; }

    HRESULT QueryInterface(const GUID& iid, void** out) override;
    long AddRef() override;
    long Release() override;
    const char* getType() override;
    HRESULT cpy(ASC** out) override;
    int cmp(const ASC* other) override;
    HRESULT print(char** out, const char* indent, PRINT_CTX* context) override;

    HRESULT getPSE(PSE** out) override;
    HRESULT getOwnPSE(PSE** out) override;
    HRESULT getCertDB(void* out) override;
    HRESULT getVerificationContext(void* out) override;
    HRESULT createURLContext(url_context** out) override;
    HRESULT getSSLContext(ssl_context** out) override;

private:
    AscObject() = default;
    ~AscObject() override;

    std::atomic<long> m_refs {1};
    std::string m_provider;        // the provider module; empty: none
    PSE* m_providerPse = nullptr;  // one reference
    PSE* m_memoryPse = nullptr;    // one reference, when images were given
    std::mutex m_ownLock;
    PSE* m_ownPse = nullptr;  // one reference, once opened
    // The context's one TLS context, made on first request, so that the
    // options a caller sets stay with the security context.
    std::mutex m_tlsLock;
    ssl_context* m_tls = nullptr;  // one reference, once made
    https::ContextCredentials m_credentials;
};

}  // namespace kestrin::qevcrypto

#include "keychain_path.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "lib_lists.h"
#include "types_values.h"

namespace kestrin::qevcrypto::keychain {
namespace {

// The system's anchors, as the key store evaluates trust against them.
constexpr const char* kSystemAnchors = "/etc/ssl/certs";

struct StoreDeleter {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct CtxDeleter {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackDeleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

ossl::X509Ptr Parse(const std::vector<uint8_t>& der)
{
    const unsigned char* p = der.data();
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::vector<uint8_t> Der(X509* x509)
{
    unsigned char* bytes = nullptr;
    int length = i2d_X509(x509, &bytes);
    std::vector<uint8_t> der;
    if (length > 0)
        der.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    return der;
}

bool SelfSigned(X509* x509)
{
    return X509_check_issued(x509, x509) == X509_V_OK;
}

// The first candidate that issued `subject`: the names chain and its key
// verifies the signature.
X509* IssuerOf(X509_STORE* store, X509* subject)
{
    std::unique_ptr<X509_STORE_CTX, CtxDeleter> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, subject, nullptr) != 1)
        return nullptr;
    std::unique_ptr<STACK_OF(X509), StackDeleter> candidates(
        X509_STORE_CTX_get1_certs(ctx.get(), X509_get_issuer_name(subject)));
    if (!candidates)
        return nullptr;
    for (int i = 0; i < sk_X509_num(candidates.get()); ++i) {
        X509* candidate = sk_X509_value(candidates.get(), i);
        if (X509_cmp(candidate, subject) == 0 || X509_check_issued(candidate, subject) != X509_V_OK)
            continue;
        EVP_PKEY* key = X509_get0_pubkey(candidate);
        if (key != nullptr && X509_verify(subject, key) == 1) {
            X509_up_ref(candidate);
            return candidate;
        }
    }
    return nullptr;
}

}  // namespace

namespace {

// The issuers of `leaf` found in `store`, up to the self-signed root.
void WalkPath(X509_STORE* store, ossl::X509Ptr leaf, std::vector<std::vector<uint8_t>>* path,
              std::vector<uint8_t>* root)
{
    ossl::X509Ptr current = std::move(leaf);
    while (path->size() < kMaxPath) {
        ossl::X509Ptr issuer(IssuerOf(store, current.get()));
        if (!issuer)
            break;
        if (SelfSigned(issuer.get())) {
            *root = Der(issuer.get());
            break;
        }
        path->push_back(Der(issuer.get()));
        current = std::move(issuer);
    }
}

void AddAll(X509_STORE* store, const std::vector<std::vector<uint8_t>>& certificates)
{
    for (const auto& der : certificates) {
        ossl::X509Ptr x509 = Parse(der);
        if (x509)
            X509_STORE_add_cert(store, x509.get());
    }
}

}  // namespace

HRESULT BuildPath(kestrin::keystore::KeyStore& keystore, const std::vector<uint8_t>& certificate,
                  std::vector<std::vector<uint8_t>>* path, std::vector<uint8_t>* root)
{
    path->clear();
    root->clear();
    ossl::X509Ptr leaf = Parse(certificate);
    if (!leaf)
        return E_FAIL;
    if (SelfSigned(leaf.get()))
        return S_OK;
    std::vector<kestrin::keystore::Certificate> known;
    HRESULT hr = keystore.ListCertificates(&known);
    if (FAILED(hr))
        return hr;
    std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
    if (!store)
        return E_OUTOFMEMORY;
    for (const auto& c : known) {
        ossl::X509Ptr x509 = Parse(c.der);
        if (x509)
            X509_STORE_add_cert(store.get(), x509.get());
    }
    struct stat st;
    if (stat(kSystemAnchors, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            X509_STORE_load_path(store.get(), kSystemAnchors);
        else
            X509_STORE_load_file(store.get(), kSystemAnchors);
    }
    WalkPath(store.get(), std::move(leaf), path, root);
    return S_OK;
}

HRESULT BuildPathAmong(const std::vector<std::vector<uint8_t>>& certificates, const std::vector<uint8_t>& certificate,
                       std::vector<std::vector<uint8_t>>* path, std::vector<uint8_t>* root)
{
    path->clear();
    root->clear();
    ossl::X509Ptr leaf = Parse(certificate);
    if (!leaf)
        return E_FAIL;
    if (SelfSigned(leaf.get()))
        return S_OK;
    std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
    if (!store)
        return E_OUTOFMEMORY;
    AddAll(store.get(), certificates);
    WalkPath(store.get(), std::move(leaf), path, root);
    return S_OK;
}

HRESULT HandOutPath(const std::vector<uint8_t>& certificate, const std::vector<std::vector<uint8_t>>& path,
                    const std::vector<uint8_t>& root, Certificate** certificateOut, SEQUENCE_OF_Certificate** pathOut,
                    Certificate** rootOut)
{
    Certificate* leaf = nullptr;
    Certificate* end = nullptr;
    SEQUENCE_OF_Certificate* list = nullptr;
    HRESULT hr = S_OK;
    if (certificateOut != nullptr)
        hr = values::CertificateFromDer(certificate.data(), certificate.size(), &leaf);
    if (SUCCEEDED(hr) && rootOut != nullptr && !root.empty())
        hr = values::CertificateFromDer(root.data(), root.size(), &end);
    if (SUCCEEDED(hr) && pathOut != nullptr) {
        SEQUENCE_OF_Certificate** cursor = &list;
        for (const auto& der : path) {
            Certificate* c = nullptr;
            hr = values::CertificateFromDer(der.data(), der.size(), &c);
            if (SUCCEEDED(hr))
                hr = AppendNode(SEC_TYPE_SEQUENCE_OF_Certificate, cursor, c);
            if (FAILED(hr)) {
                if (c != nullptr)
                    c->Release();
                break;
            }
        }
    }
    if (FAILED(hr)) {
        if (leaf != nullptr)
            leaf->Release();
        if (end != nullptr)
            end->Release();
        FreeTyped(SEC_TYPE_SEQUENCE_OF_Certificate, list);
        return hr;
    }
    if (certificateOut != nullptr)
        *certificateOut = leaf;
    if (pathOut != nullptr)
        *pathOut = list;
    if (rootOut != nullptr)
        *rootOut = end;
    return S_OK;
}

HRESULT CertificatePublicKey(const std::vector<uint8_t>& certificate, KeyInfo** out)
{
    Certificate* c = nullptr;
    HRESULT hr = values::CertificateFromDer(certificate.data(), certificate.size(), &c);
    if (FAILED(hr))
        return hr;
    hr = c->getPublicKeyInfo(out);
    c->Release();
    return hr;
}

}  // namespace kestrin::qevcrypto::keychain

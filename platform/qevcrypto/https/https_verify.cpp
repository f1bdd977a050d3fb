#include "https_verify.h"

#include <openssl/x509v3.h>
#include <strings.h>

#include <memory>
#include <mutex>
#include <span>

#include "keystore.h"
#include "qev_ssl.h"
#include "qev_url.h"

namespace kestrin::qevcrypto::https {

namespace {

int StateIndex()
{
    static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

VerifyState* StateOf(const SSL* ssl)
{
    return static_cast<VerifyState*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), StateIndex()));
}

void Fail(VerifyState* state, HRESULT code)
{
    if (state->failure == S_OK)
        state->failure = code;
}

// Faults that mean "no trusted root was reached" rather than a broken chain.
bool IsRootFault(int error)
{
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_CERT_UNTRUSTED:
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> Der(X509* cert)
{
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    std::vector<uint8_t> out;
    if (n > 0)
        out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

// The key store's verdict on the chain the server sent (leaf first): its
// trust settings and the system's CA bundle.
HRESULT KeyStoreVerdict(X509_STORE_CTX* ctx)
{
    std::vector<std::vector<uint8_t>> chain;
    chain.push_back(Der(X509_STORE_CTX_get0_cert(ctx)));
    STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(ctx);
    for (int i = 0; sent != nullptr && i < sk_X509_num(sent) && chain.size() < keystore::kMaxChainLength; ++i)
        if (sk_X509_value(sent, i) != X509_STORE_CTX_get0_cert(ctx))
            chain.push_back(Der(sk_X509_value(sent, i)));
    std::unique_ptr<keystore::KeyStore> store;
    if (FAILED(keystore::KeyStore::Open(keystore::Options {}, &store)))
        return E_SSL_UNTRUSTED;
    keystore::TrustPolicy policy;
    policy.purpose = keystore::TrustPurpose::Basic;
    keystore::TrustEvaluation evaluation;
    if (FAILED(store->EvaluateTrust(std::span<const std::vector<uint8_t>>(chain), policy, &evaluation)))
        return E_SSL_UNTRUSTED;
    if (evaluation.result == keystore::TrustResult::Proceed || evaluation.result == keystore::TrustResult::Unspecified)
        return S_OK;
    if (evaluation.result == keystore::TrustResult::Deny || IsRootFault(evaluation.verifyError)
        || evaluation.verifyError == 0)
        return E_SSL_UNTRUSTED;
    return E_URL_CERTCHAIN;
}

int VerifyChain(X509_STORE_CTX* ctx, void* arg)
{
    auto* state = static_cast<VerifyState*>(arg);
    // Key usages are the business of flag 1 alone: the chain is checked
    // for any purpose here.
    X509_VERIFY_PARAM_set_purpose(X509_STORE_CTX_get0_param(ctx), X509_PURPOSE_ANY);
    HRESULT verdict = S_OK;
    if (X509_verify_cert(ctx) != 1) {
        int error = X509_STORE_CTX_get_error(ctx);
        verdict = IsRootFault(error) ? KeyStoreVerdict(ctx) : E_URL_CERTCHAIN;
    }
    if (verdict == S_OK)
        verdict = CheckLeaf(X509_STORE_CTX_get0_cert(ctx), state->host, state->flags);
    if (verdict != S_OK) {
        Fail(state, verdict);
        X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    // The handshake's verify result is read again afterwards: a chain the key
    // store trusts must not keep OpenSSL's own complaint.
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
}

void WatchAlerts(const SSL* ssl, int where, int value)
{
    if ((where & SSL_CB_READ_ALERT) == 0)
        return;
    if (VerifyState* state = StateOf(ssl); state != nullptr && state->alert < 0)
        state->alert = value & 0xFF;
}

bool IsAddress(const std::string& host)
{
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str());
    ASN1_OCTET_STRING_free(ip);
    return ip != nullptr;
}

bool HasAltNames(X509* leaf)
{
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr));
    bool any = false;
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
        int type = sk_GENERAL_NAME_value(names, i)->type;
        any = any || type == GEN_DNS || type == GEN_IPADD;
    }
    GENERAL_NAMES_free(names);
    return any;
}

// The host against the subject's common names alone: equal without regard to
// case, or a left-most "*." label standing for one label of a DNS name.
bool CommonNameMatches(X509* leaf, const std::string& host)
{
    X509_NAME* subject = X509_get_subject_name(leaf);
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
        unsigned char* utf8 = nullptr;
        int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
        if (n < 0)
            continue;
        std::string cn(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
        OPENSSL_free(utf8);
        if (cn.size() == host.size() && strcasecmp(cn.c_str(), host.c_str()) == 0)
            return true;
        size_t dot = host.find('.');
        if (cn.size() > 2 && cn.compare(0, 2, "*.") == 0 && !IsAddress(host) && dot != std::string::npos && dot > 0
            && strcasecmp(cn.c_str() + 1, host.c_str() + dot) == 0)
            return true;
    }
    return false;
}

}  // namespace

HRESULT CheckLeaf(X509* leaf, const std::string& host, unsigned int flags)
{
    if (leaf == nullptr || host.empty())
        return E_URL_CERTNAME;
    bool matched;
    if (IsAddress(host))
        matched = X509_check_ip_asc(leaf, host.c_str(), 0) == 1
                  || ((flags & URL_CHECK_ALT_NAMES) == 0 && !HasAltNames(leaf) && CommonNameMatches(leaf, host));
    else
        matched = X509_check_host(leaf, host.c_str(), host.size(),
                                  (flags & URL_CHECK_ALT_NAMES) != 0 ? X509_CHECK_FLAG_NEVER_CHECK_SUBJECT : 0, nullptr)
                  == 1;
    if (!matched || ((flags & URL_CHECK_COMMON_NAME) != 0 && !CommonNameMatches(leaf, host)))
        return E_URL_CERTNAME;
    if ((flags & URL_CHECK_EXTENSIONS) != 0) {
        const uint32_t present = X509_get_extension_flags(leaf);
        if ((present & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(leaf) & XKU_SSL_SERVER) == 0)
            return E_URL_CERTEXT;
        if ((present & EXFLAG_KUSAGE) != 0
            && (X509_get_key_usage(leaf) & (KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT | KU_KEY_AGREEMENT)) == 0)
            return E_URL_CERTEXT;
    }
    return S_OK;
}

void PrepareContext(SSL_CTX* ctx, VerifyState* state)
{
    SSL_CTX_set_ex_data(ctx, StateIndex(), state);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    for (const ossl::X509Ptr& anchor : state->anchors)
        X509_STORE_add_cert(store, anchor.get());
    SSL_CTX_set_cert_verify_callback(ctx, &VerifyChain, state);
    SSL_CTX_set_info_callback(ctx, &WatchAlerts);
}

}  // namespace kestrin::qevcrypto::https

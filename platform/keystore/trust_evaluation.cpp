// Trust evaluation of a chain: OpenSSL's X.509 path validation against the
// system's CA bundle and the certificates trusted in the store, then the
// store's trust settings (user before admin before system) decide.
#include <openssl/sha.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <map>

#include "keystore_impl.h"
#include "ossl_util.h"

namespace kestrin::keystore {
namespace {

using detail::X509Ptr;

struct StoreView {
    std::map<Fingerprint, TrustSetting> effective;  // first domain with Trusted or Deny
    std::vector<X509Ptr> anchors;
    std::vector<X509Ptr> pool;  // the store's certificates, for path building
};

HRESULT ReadStore(KeyStore::Impl& impl, StoreView* view)
{
    std::lock_guard lock(impl.mutex);
    detail::Statement st;
    HRESULT hr = st.Prepare(impl.db, "SELECT sha1, setting, der FROM trust ORDER BY domain");
    while (SUCCEEDED(hr) && (hr = st.Step()) == S_OK) {
        Fingerprint sha1;
        auto setting = static_cast<TrustSetting>(st.Int(1));
        if (FAILED(st.Sha1At(0, &sha1)) || view->effective.contains(sha1))
            continue;
        if (setting != TrustSetting::Trusted && setting != TrustSetting::Deny)
            continue;
        view->effective[sha1] = setting;
        X509Ptr cert;
        if (setting == TrustSetting::Trusted && SUCCEEDED(detail::DecodeCertificate(st.Blob(2), &cert))) {
            view->anchors.push_back(std::move(cert));
        }
    }
    if (FAILED(hr))
        return hr;
    hr = st.Prepare(impl.db, "SELECT der FROM certificates ORDER BY id");
    while (SUCCEEDED(hr) && (hr = st.Step()) == S_OK) {
        X509Ptr cert;
        if (SUCCEEDED(detail::DecodeCertificate(st.Blob(0), &cert)))
            view->pool.push_back(std::move(cert));
    }
    return FAILED(hr) ? hr : S_OK;
}

void LoadSystemAnchors(X509_STORE* store, const std::string& where)
{
    struct stat st;
    if (where.empty() || stat(where.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        X509_STORE_load_path(store, where.c_str());
    } else {
        X509_STORE_load_file(store, where.c_str());
    }
}

TrustResult Classify(int error)
{
    switch (error) {
    case X509_V_OK:
        return TrustResult::Unspecified;
    case X509_V_ERR_OUT_OF_MEM:
        return TrustResult::OtherError;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
    case X509_V_ERR_INVALID_EXTENSION:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_CERT_REVOKED:
    case X509_V_ERR_CERT_REJECTED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return TrustResult::FatalTrustFailure;
    default:
        // Unknown issuer, self-signed leaf, expiry, purpose or host name: a
        // user could still decide to trust the chain.
        return TrustResult::RecoverableTrustFailure;
    }
}

HRESULT ToCertificate(X509* x, Certificate* out)
{
    return detail::EncodeCertificate(x, &out->der, &out->sha1);
}

}  // namespace

HRESULT KeyStore::EvaluateTrust(std::span<const std::vector<uint8_t>> chain, const TrustPolicy& policy,
                                TrustEvaluation* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (chain.empty() || chain.size() > kMaxChainLength)
        return E_INVALIDARG;
    if (policy.purpose != TrustPurpose::Basic && policy.purpose != TrustPurpose::SslClient
        && policy.purpose != TrustPurpose::SslServer) {
        return E_INVALIDARG;
    }
    return NoThrow([&] {
        std::vector<X509Ptr> given;
        for (const auto& der : chain) {
            X509Ptr cert;
            HRESULT hr = detail::DecodeCertificate(der, &cert);
            if (FAILED(hr))
                return hr;
            given.push_back(std::move(cert));
        }
        StoreView view;
        HRESULT hr = ReadStore(*impl_, &view);
        if (FAILED(hr))
            return hr;

        detail::X509StorePtr store(X509_STORE_new());
        detail::X509StackPtr untrusted(sk_X509_new_null());
        detail::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
        if (!store || !untrusted || !ctx)
            return E_OUTOFMEMORY;
        LoadSystemAnchors(store.get(), impl_->systemAnchors);
        for (const X509Ptr& anchor : view.anchors)
            X509_STORE_add_cert(store.get(), anchor.get());
        for (size_t i = 1; i < given.size(); ++i) {
            if (!sk_X509_push(untrusted.get(), given[i].get()))
                return E_OUTOFMEMORY;
            X509_up_ref(given[i].get());
        }
        for (const X509Ptr& cert : view.pool) {
            if (!sk_X509_push(untrusted.get(), cert.get()))
                return E_OUTOFMEMORY;
            X509_up_ref(cert.get());
        }
        if (X509_STORE_CTX_init(ctx.get(), store.get(), given[0].get(), untrusted.get()) != 1)
            return E_OUTOFMEMORY;
        // A certificate trusted in the store is an anchor even when it is not self-signed.
        X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN);
        if (policy.purpose == TrustPurpose::SslClient) {
            X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_CLIENT);
        } else if (policy.purpose == TrustPurpose::SslServer) {
            X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
            if (!policy.host.empty()
                && X509_VERIFY_PARAM_set1_host(X509_STORE_CTX_get0_param(ctx.get()), policy.host.c_str(),
                                               policy.host.size())
                       != 1) {
                return E_INVALIDARG;
            }
        }
        if (policy.at)
            X509_STORE_CTX_set_time(ctx.get(), 0, *policy.at);

        int verified = X509_verify_cert(ctx.get());
        int error = verified == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx.get());
        if (verified != 1 && error == X509_V_OK)
            error = X509_V_ERR_UNSPECIFIED;

        TrustEvaluation result;
        result.verifyError = error;
        result.result = Classify(error);
        detail::X509StackPtr built(X509_STORE_CTX_get1_chain(ctx.get()));
        bool trusted = false;
        bool denied = false;
        int count = built ? sk_X509_num(built.get()) : 0;
        for (int i = 0; i < count; ++i) {
            Certificate cert;
            hr = ToCertificate(sk_X509_value(built.get(), i), &cert);
            if (FAILED(hr))
                return hr;
            auto found = view.effective.find(cert.sha1);
            if (found != view.effective.end()) {
                trusted |= found->second == TrustSetting::Trusted;
                denied |= found->second == TrustSetting::Deny;
            }
            result.chain.push_back(std::move(cert));
        }
        if (count == 0) {
            Fingerprint leaf;
            SHA1(chain[0].data(), chain[0].size(), leaf.data());
            auto found = view.effective.find(leaf);
            denied = found != view.effective.end() && found->second == TrustSetting::Deny;
        }
        if (denied) {
            result.result = TrustResult::Deny;
        } else if (verified == 1 && trusted) {
            result.result = TrustResult::Proceed;
        }
        *out = std::move(result);
        return S_OK;
    });
}

}  // namespace kestrin::keystore

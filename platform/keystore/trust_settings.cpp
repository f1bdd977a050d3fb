// Trust settings of certificates in the user, admin and system domains.
#include <openssl/sha.h>

#include "keystore_impl.h"
#include "ossl_util.h"

namespace kestrin::keystore {
namespace {

bool ValidDomain(TrustDomain domain)
{
    return domain == TrustDomain::User || domain == TrustDomain::Admin || domain == TrustDomain::System;
}

bool ValidSetting(TrustSetting setting)
{
    return setting == TrustSetting::Trusted || setting == TrustSetting::Deny || setting == TrustSetting::Unspecified;
}

}  // namespace

HRESULT KeyStore::SetTrustSetting(TrustDomain domain, std::span<const uint8_t> der, TrustSetting setting)
{
    if (!ValidDomain(domain) || !ValidSetting(setting))
        return E_INVALIDARG;
    detail::X509Ptr cert;
    HRESULT hr = detail::DecodeCertificate(der, &cert);
    if (FAILED(hr))
        return hr;
    Fingerprint sha1;
    SHA1(der.data(), der.size(), sha1.data());
    return impl_->Change(kTrustChanged, [&] {
        detail::Statement st;
        HRESULT step = st.Prepare(impl_->db, "INSERT INTO trust(sha1, domain, setting, der) VALUES(?1, ?2, ?3, ?4)"
                                             " ON CONFLICT(sha1, domain) DO UPDATE SET setting = excluded.setting");
        st.Bind(1, std::span<const uint8_t>(sha1));
        st.Bind(2, static_cast<int64_t>(domain));
        st.Bind(3, static_cast<int64_t>(setting));
        st.Bind(4, der);
        if (SUCCEEDED(step))
            step = st.Step();
        return FAILED(step) ? step : S_OK;
    });
}

HRESULT KeyStore::GetTrustSetting(TrustDomain domain, const Fingerprint& sha1, TrustSetting* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (!ValidDomain(domain))
        return E_INVALIDARG;
    return NoThrow([&] {
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "SELECT setting FROM trust WHERE sha1 = ?1 AND domain = ?2");
        st.Bind(1, std::span<const uint8_t>(sha1));
        st.Bind(2, static_cast<int64_t>(domain));
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (hr != S_OK)
            return hr;
        auto setting = static_cast<TrustSetting>(st.Int(0));
        if (!ValidSetting(setting))
            return KEYSTORE_E_DATABASE;
        *out = setting;
        return S_OK;
    });
}

HRESULT KeyStore::RemoveTrustSetting(TrustDomain domain, const Fingerprint& sha1)
{
    if (!ValidDomain(domain))
        return E_INVALIDARG;
    return impl_->Change(kTrustChanged, [&] {
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "DELETE FROM trust WHERE sha1 = ?1 AND domain = ?2");
        st.Bind(1, std::span<const uint8_t>(sha1));
        st.Bind(2, static_cast<int64_t>(domain));
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (FAILED(hr))
            return hr;
        return sqlite3_changes(impl_->db) > 0 ? S_OK : S_FALSE;
    });
}

HRESULT KeyStore::ListTrustCertificates(TrustDomain domain, std::vector<Certificate>* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (!ValidDomain(domain))
        return E_INVALIDARG;
    return NoThrow([&] {
        std::vector<Certificate> found;
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "SELECT t.sha1, t.der, EXISTS(SELECT 1 FROM certificates c JOIN keys k"
                                           " ON k.key_id = c.key_id WHERE c.sha1 = t.sha1)"
                                           " FROM trust t WHERE t.domain = ?1 ORDER BY t.rowid");
        st.Bind(1, static_cast<int64_t>(domain));
        while (SUCCEEDED(hr) && (hr = st.Step()) == S_OK) {
            Certificate cert;
            hr = st.Sha1At(0, &cert.sha1);
            auto der = st.Blob(1);
            cert.der.assign(der.begin(), der.end());
            cert.hasPrivateKey = st.Int(2) != 0;
            if (SUCCEEDED(hr))
                found.push_back(std::move(cert));
        }
        if (FAILED(hr))
            return hr;
        *out = std::move(found);
        return out->empty() ? S_FALSE : S_OK;
    });
}

}  // namespace kestrin::keystore

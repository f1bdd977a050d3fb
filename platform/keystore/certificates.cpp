// Certificates of the store, with or without a private key (issuer
// certificates are kept without one).
#include <openssl/sha.h>

#include "keystore_impl.h"
#include "ossl_util.h"

namespace kestrin::keystore {
namespace {

constexpr const char* kCertificateColumns =
    "SELECT c.sha1, c.der, EXISTS(SELECT 1 FROM keys k WHERE k.key_id = c.key_id) FROM certificates c";

HRESULT CertificateFromRow(const detail::Statement& row, Certificate* out)
{
    HRESULT hr = row.Sha1At(0, &out->sha1);
    if (FAILED(hr))
        return hr;
    auto der = row.Blob(1);
    out->der.assign(der.begin(), der.end());
    out->hasPrivateKey = row.Int(2) != 0;
    return S_OK;
}

}  // namespace

HRESULT KeyStore::AddCertificate(std::span<const uint8_t> der, Fingerprint* sha1)
{
    detail::X509Ptr cert;
    HRESULT hr = detail::DecodeCertificate(der, &cert);
    if (FAILED(hr))
        return hr;
    Fingerprint digest;
    Fingerprint keyId;
    SHA1(der.data(), der.size(), digest.data());
    hr = detail::PublicKeyId(cert.get(), &keyId);
    if (FAILED(hr))
        return hr;
    hr = impl_->Change(kIdentitiesChanged, [&] {
        detail::Statement st;
        HRESULT step = st.Prepare(impl_->db, "INSERT INTO certificates(sha1, key_id, der) VALUES(?1, ?2, ?3)"
                                             " ON CONFLICT(sha1) DO NOTHING");
        st.Bind(1, std::span<const uint8_t>(digest));
        st.Bind(2, std::span<const uint8_t>(keyId));
        st.Bind(3, der);
        if (SUCCEEDED(step))
            step = st.Step();
        if (FAILED(step))
            return step;
        return sqlite3_changes(impl_->db) > 0 ? S_OK : S_FALSE;
    });
    if (SUCCEEDED(hr) && sha1 != nullptr)
        *sha1 = digest;
    return hr;
}

HRESULT KeyStore::FindCertificate(const Fingerprint& sha1, Certificate* out)
{
    if (out == nullptr)
        return E_POINTER;
    return NoThrow([&] {
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, (std::string(kCertificateColumns) + " WHERE c.sha1 = ?1").c_str());
        st.Bind(1, std::span<const uint8_t>(sha1));
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (hr != S_OK)
            return hr;
        Certificate found;
        hr = CertificateFromRow(st, &found);
        if (SUCCEEDED(hr))
            *out = std::move(found);
        return hr;
    });
}

HRESULT KeyStore::ListCertificates(std::vector<Certificate>* out)
{
    if (out == nullptr)
        return E_POINTER;
    return NoThrow([&] {
        std::vector<Certificate> found;
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, (std::string(kCertificateColumns) + " ORDER BY c.id").c_str());
        while (SUCCEEDED(hr) && (hr = st.Step()) == S_OK) {
            Certificate cert;
            hr = CertificateFromRow(st, &cert);
            if (SUCCEEDED(hr))
                found.push_back(std::move(cert));
        }
        if (FAILED(hr))
            return hr;
        *out = std::move(found);
        return S_OK;
    });
}

HRESULT KeyStore::DeleteCertificate(const Fingerprint& sha1)
{
    return impl_->Change(kIdentitiesChanged, [&] {
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "DELETE FROM certificates WHERE sha1 = ?1");
        st.Bind(1, std::span<const uint8_t>(sha1));
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (FAILED(hr))
            return hr;
        return sqlite3_changes(impl_->db) > 0 ? S_OK : S_FALSE;
    });
}

}  // namespace kestrin::keystore
